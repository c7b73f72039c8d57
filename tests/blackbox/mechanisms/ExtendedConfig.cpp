// This suite runs the module with the extended mechanisms switched on.
extern "C" const char* VcTestExtraConfig() { return "[Pkcs11]\nExtendedMechanisms=1\n"; }

// Certificate parsing from DER as the import and the object list use it: the card core's
// Certificate and the check that a card accepts the value as a certificate.
#include <cstdint>

#include "core/CardImage.h"
#include "core/CoreObjects.h"

using namespace Vellumcrest::Core;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Certificate certificate;
    int rc = certificate.SetCertificate(data, static_cast<unsigned long>(size));
    if (rc == CoreOk) {
        volatile unsigned long sum = certificate.GetSubjectDERSize() + certificate.GetIssuerDERSize() +
                                     certificate.GetSerialNumberDERSize() + certificate.GetModulusSize() +
                                     certificate.GetExponentSize() + certificate.GetCertificateDataSize();
        (void)sum;
        certificate.IsCACertificate();
        certificate.IsSelfSigned();
        certificate.IsIssuedByCert(&certificate);
    }
    // The check a card makes before it stores a certificate.
    static std::unique_ptr<CardImage> image = [] {
        CardSettings settings;
        settings.totalMemory = 0x7FFFFFFF;
        std::unique_ptr<CardImage> made;
        CardContent::CreateCard(settings, &made);
        return made;
    }();
    ImageCertificate* stored = nullptr;
    if (CardContent::AddCertificate(*image, 0, CertificateKindRoot, data, size, &stored) == CoreOk) {
        uint32_t containerId = stored->record.containerId;
        CardContent::TakeCertificate(*image, stored->record.recordId);
        CardContent::TakeContainer(*image, containerId);
    }
    return 0;
}

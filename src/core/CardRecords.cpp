#include "core/CardRecords.h"

namespace Vellumcrest {
namespace Core {

namespace {
constexpr unsigned long kMaxIdLength = 64;
constexpr unsigned long kMaxLabelLength = 80;
}  // namespace

// A null pointer with length 0 clears the value; with a nonzero length it is refused.
bool CardCommonAttribute::SetId(const unsigned char* id, unsigned long length) {
    if (length > kMaxIdLength || (id == nullptr && length != 0)) return false;
    if (length == 0) {
        id_.clear();
        return true;
    }
    id_.assign(id, id + length);
    return true;
}

bool CardCommonAttribute::SetLabelUtf8(const char* label, unsigned long length) {
    if (length > kMaxLabelLength || (label == nullptr && length != 0)) return false;
    if (length == 0) {
        label_.clear();
        return true;
    }
    label_.assign(label, length);
    return true;
}

}  // namespace Core
}  // namespace Vellumcrest

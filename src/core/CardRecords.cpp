#include "core/CardRecords.h"

#include <openssl/crypto.h>

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

RsaParam::~RsaParam() {
    for (std::vector<unsigned char>* component : {&d_, &p_, &q_, &dp_, &dq_, &qinv_})
        if (!component->empty()) OPENSSL_cleanse(component->data(), component->size());
}

void RsaParam::set(std::vector<unsigned char>& component, const unsigned char* v, unsigned long n) {
    if (!component.empty()) OPENSSL_cleanse(component.data(), component.size());
    if (v == nullptr) n = 0;
    component.assign(v, v + n);
}

}  // namespace Core
}  // namespace Vellumcrest

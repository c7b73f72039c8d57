// Plain string holders: narrow (UTF-8) and wide.
#pragma once

#include <cstddef>
#include <string>

namespace orvostd {

class OrvoString {
public:
    OrvoString() = default;
    OrvoString(const char* text) : text_(text != nullptr ? text : "") {}
    OrvoString(const char* text, size_t length) : text_(text != nullptr ? std::string(text, length) : "") {}
    OrvoString(const std::string& text) : text_(text) {}
    OrvoString& operator=(const char* text) { text_ = text != nullptr ? text : ""; return *this; }
    const char* c_str() const { return text_.c_str(); }
    size_t length() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    const std::string& str() const { return text_; }

private:
    std::string text_;
};

class OrvoStringW {
public:
    OrvoStringW() = default;
    OrvoStringW(const wchar_t* text) : text_(text != nullptr ? text : L"") {}
    OrvoStringW(const std::wstring& text) : text_(text) {}
    OrvoStringW& operator=(const wchar_t* text) { text_ = text != nullptr ? text : L""; return *this; }
    const wchar_t* c_str() const { return text_.c_str(); }
    size_t length() const { return text_.size(); }
    bool empty() const { return text_.empty(); }
    const std::wstring& str() const { return text_; }

private:
    std::wstring text_;
};

}  // namespace orvostd

namespace Vellumcrest {
namespace Core {

// UTF-8 text of the given length to a wide string; invalid sequences become U+FFFD.
orvostd::OrvoStringW Utf8ToOrvoStringW(const char* utf8, size_t length);
// Wide string back to UTF-8.
std::string OrvoStringWToUtf8(const orvostd::OrvoStringW& text);

}  // namespace Core
}  // namespace Vellumcrest

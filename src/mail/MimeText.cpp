// MimeText.cpp - header values and charsets through GMime.
#include "mail/MimeText.h"

#include <gmime/gmime.h>

#include <cstring>
#include <memory>

#include "mail/HeaderValues.h"
#include "mail/SpoolReader.h"

namespace {

constexpr std::size_t kNameCut = 80;
constexpr std::size_t kSubjectCut = 100;

struct CGFree {
    void operator()(void* p) const { g_free(p); }
};
using CGString = std::unique_ptr<char, CGFree>;

bool IsPlainAscii(std::string_view text) {
    for (char c : text) {
        auto u = static_cast<unsigned char>(c);
        if (u >= 0x80) return false;
    }
    return text.find("=?") == std::string_view::npos;
}

// Drops a UTF-8 sequence cut short at the end (a value cut by a byte count).
std::string_view WithoutCutSequence(std::string_view text) {
    std::size_t n = text.size();
    std::size_t back = 0;
    while (back < 3 && back < n && (static_cast<unsigned char>(text[n - 1 - back]) & 0xC0) == 0x80)
        ++back;
    if (back < n && static_cast<unsigned char>(text[n - 1 - back]) >= 0xC0) {
        auto lead = static_cast<unsigned char>(text[n - 1 - back]);
        std::size_t want = lead >= 0xF0 ? 3 : lead >= 0xE0 ? 2 : 1;
        if (back < want) return text.substr(0, n - 1 - back);
    }
    return text;
}

std::string MakeValid(const char* data, std::size_t size) {
    if (g_utf8_validate(data, static_cast<gssize>(size), nullptr)) return std::string(data, size);
    CGString valid(g_utf8_make_valid(data, static_cast<gssize>(size)));
    return valid ? std::string(valid.get()) : std::string();
}

// Undeclared bytes: UTF-8 when they are, else the fallback charsets through GMime.
std::string Undeclared(std::string_view bytes) {
    if (g_utf8_validate(bytes.data(), static_cast<gssize>(bytes.size()), nullptr)) {
        return std::string(bytes);
    }
    CGString text(g_mime_utils_decode_8bit(MimeParserOptions(), bytes.data(), bytes.size()));
    return text ? MakeValid(text.get(), std::strlen(text.get()))
                : MakeValid(bytes.data(), bytes.size());
}

void Trim(std::string& text) {
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    }
    std::size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) {
        text.clear();
        return;
    }
    text.erase(0, first);
    text.erase(text.find_last_not_of(' ') + 1);
}

std::string_view ValueOf(std::string_view line) {
    std::size_t colon = line.find(':');
    return colon == std::string_view::npos ? std::string_view() : line.substr(colon + 1);
}

}  // namespace

_GMimeParserOptions* MimeParserOptions() {
    static GMimeParserOptions* options = [] {
        g_mime_init();
        GMimeParserOptions* made = g_mime_parser_options_new();
        static const char* fallback[] = {"UTF-8", "windows-1252", nullptr};
        g_mime_parser_options_set_fallback_charsets(made, fallback);
        g_mime_parser_options_set_rfc2047_compliance_mode(made, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_address_compliance_mode(made, GMIME_RFC_COMPLIANCE_LOOSE);
        g_mime_parser_options_set_parameter_compliance_mode(made, GMIME_RFC_COMPLIANCE_LOOSE);
        return made;
    }();
    return options;
}

std::string MimeToUtf8(std::string_view bytes, std::string_view charset, bool* unknownCharset) {
    MimeParserOptions();
    if (charset.empty()) return Undeclared(bytes);
    std::string name(charset);
    const char* canonical = g_mime_charset_canon_name(name.c_str());
    if (canonical && (g_ascii_strcasecmp(canonical, "utf-8") == 0 ||
                      g_ascii_strcasecmp(canonical, "us-ascii") == 0)) {
        return Undeclared(bytes);
    }
    iconv_t cd = g_mime_iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        if (unknownCharset) *unknownCharset = true;
        return Undeclared(bytes);
    }
    CGString text(g_mime_iconv_strndup(cd, bytes.data(), bytes.size()));
    g_mime_iconv_close(cd);
    if (!text) return Undeclared(bytes);
    return MakeValid(text.get(), std::strlen(text.get()));
}

void CutUtf8(std::string& text, std::size_t limit) {
    if (text.size() <= limit) return;
    std::size_t at = limit;
    while (at > 0 && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80)
        --at;
    text.resize(at);
}

std::size_t Utf8Prefix(std::string_view text, std::size_t characters) {
    std::size_t i = 0;
    for (std::size_t seen = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (seen == characters) break;
            ++seen;
        }
    }
    return i;
}

std::size_t Utf8Length(std::string_view text) {
    std::size_t count = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
    }
    return count;
}

std::string Utf8HeaderValue(std::string_view value, std::size_t limit) {
    std::string text =
        IsPlainAscii(value) ? std::string(value) : Undeclared(WithoutCutSequence(value));
    CutUtf8(text, limit);
    return text;
}

std::string DecodeSubjectLine(std::string_view line) {
    std::string value(ValueOf(line));
    std::string text;
    if (IsPlainAscii(value)) {
        text = std::move(value);
    } else {
        CGString decoded(g_mime_utils_header_decode_text(MimeParserOptions(), value.c_str()));
        text = decoded ? MakeValid(decoded.get(), std::strlen(decoded.get())) : Undeclared(value);
    }
    Trim(text);
    CutUtf8(text, kSubjectCut);
    return text;
}

std::pair<std::string, std::string> DecodeSenderLine(std::string_view line) {
    std::string value(ValueOf(line));
    if (value.find("=?") != std::string::npos) {
        InternetAddressList* list = internet_address_list_parse(MimeParserOptions(), value.c_str());
        InternetAddressMailbox* mailbox = nullptr;
        if (list && internet_address_list_length(list) > 0) {
            InternetAddress* first = internet_address_list_get_address(list, 0);
            if (INTERNET_ADDRESS_IS_GROUP(first)) {
                InternetAddressList* members =
                    internet_address_group_get_members(INTERNET_ADDRESS_GROUP(first));
                if (members && internet_address_list_length(members) > 0) {
                    first = internet_address_list_get_address(members, 0);
                }
            }
            if (INTERNET_ADDRESS_IS_MAILBOX(first)) mailbox = INTERNET_ADDRESS_MAILBOX(first);
        }
        std::pair<std::string, std::string> sender;
        if (mailbox) {
            const char* name = internet_address_get_name(INTERNET_ADDRESS(mailbox));
            const char* addr = internet_address_mailbox_get_addr(mailbox);
            sender.second = addr && *addr ? Utf8HeaderValue(addr, kNameCut) : "(no email)";
            std::string shown = name ? MakeValid(name, std::strlen(name)) : std::string();
            Trim(shown);
            if (shown.empty()) shown = sender.second == "(no email)" ? "(no name)" : sender.second;
            CutUtf8(shown, kNameCut);
            sender.first = std::move(shown);
        }
        if (list) g_object_unref(list);
        if (mailbox && sender.first.find("=?") == std::string::npos) return sender;
        // An encoded word the address parser could not take apart (one that holds the
        // address as well): the value decoded as text is read as a plain From line.
        CGString decoded(g_mime_utils_header_decode_text(MimeParserOptions(), value.c_str()));
        if (decoded) {
            auto [name, address] =
                ParseSender("From: " + MakeValid(decoded.get(), std::strlen(decoded.get())));
            return {Utf8HeaderValue(name, kNameCut), Utf8HeaderValue(address, kNameCut)};
        }
    }
    auto [name, address] = ParseSender(line);
    return {Utf8HeaderValue(name, kNameCut), Utf8HeaderValue(address, kNameCut)};
}

namespace {

std::string CharsetOfType(std::string_view typeLine) {
    std::string value(ValueOf(typeLine));
    GMimeContentType* type = g_mime_content_type_parse(MimeParserOptions(), value.c_str());
    if (!type) return {};
    const char* charset = g_mime_content_type_get_parameter(type, "charset");
    std::string result = charset ? charset : "";
    g_object_unref(type);
    return result;
}

std::string InDeclaredCharset(const std::string& line, std::string_view typeLine) {
    if (line.empty() || typeLine.empty() ||
        g_utf8_validate(line.data(), static_cast<gssize>(line.size()), nullptr)) {
        return line;
    }
    std::string charset = CharsetOfType(typeLine);
    if (charset.empty()) return line;
    bool unknown = false;
    std::string text = MimeToUtf8(line, charset, &unknown);
    return unknown ? line : text;
}

}  // namespace

CMimeHeaders DecodeMimeHeaders(const CSpoolMessage& message) {
    CMimeHeaders headers;
    headers.m_date = Utf8HeaderValue(message.m_date, kNameCut);
    // Raw bytes in a header declare no charset of their own; the sender's mail program wrote
    // them in the one it named for the message, so that is tried before the fallbacks.
    if (message.m_senderLine.empty()) {
        headers.m_fromName = message.m_fromName;  // no "From:" line: empty, as for plain mail
        headers.m_fromAddress = message.m_fromAddress;
    } else {
        auto [name, address] =
            DecodeSenderLine(InDeclaredCharset(message.m_senderLine, message.m_typeLine));
        headers.m_fromName = std::move(name);
        headers.m_fromAddress = std::move(address);
    }
    headers.m_subject =
        message.m_subjectLine.empty()
            ? message.m_subject
            : DecodeSubjectLine(InDeclaredCharset(message.m_subjectLine, message.m_typeLine));
    return headers;
}

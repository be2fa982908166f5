// Fuzzes every header value extractor and the date key on one arbitrary header line: no
// crash, no value past its bound, and a date key either kept as "(no date)" or in the
// "MM/DD/YY hh:mm" shape the date-sorted list compares.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "server/Rfc3339.h"
#include "server/Utf8.h"
#include "mail/HeaderValues.h"
#include "mail/MailDate.h"

namespace {

bool IsTwoDigitNumber(const std::string& text, int low, int high) {
    if (text.size() != 2 || text[0] < '0' || text[0] > '9' || text[1] < '0' || text[1] > '9')
        return false;
    const int value = (text[0] - '0') * 10 + (text[1] - '0');
    return value >= low && value <= high;
}

// The key is month, day, two-digit year and time with their separators: only the day is
// copied as it stands, so the key never grows past the date by more than the fixed parts.
void CheckDateKey(std::string_view date) {
    const std::string key = BuildDateKey(date);
    if (key.size() > date.size() + 14) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view line(reinterpret_cast<const char*>(data), size);

    if (EnvelopeDate(line).size() > 80) __builtin_trap();
    const std::string date = HeaderDate(line);
    if (date.size() > 80) __builtin_trap();
    const auto [name, address] = ParseSender(line);
    if (name.size() > 80 || address.size() > 80) __builtin_trap();
    const std::string id = MessageIdValue(line);
    if (id.size() > 80 || id.find('\\') != std::string::npos) __builtin_trap();
    if (SubjectValue(line).size() > 100) __builtin_trap();
    (void)ReplyReference(line);

    const std::string month = MonthNumber(line);
    if (!month.empty() && !IsTwoDigitNumber(month, 1, 12)) __builtin_trap();
    const std::string weekday = WeekdayNumber(line);
    if (!weekday.empty() && !IsTwoDigitNumber(weekday, 1, 7)) __builtin_trap();

    CheckDateKey(line);
    CheckDateKey(date);
    if (BuildDateKey("(no date)") != "(no date)") __builtin_trap();

    // Feeds and JSON: a date read from the line always has an RFC 3339 form, and any bytes
    // become valid UTF-8.
    for (std::string_view text : {line, std::string_view(date)}) {
        if (auto when = ParseMailDate(text); when && FormatRfc3339Utc(*when).size() != 20) {
            __builtin_trap();
        }
    }
    if (!IsValidUtf8(Utf8OrLatin1(line))) __builtin_trap();
    return 0;
}

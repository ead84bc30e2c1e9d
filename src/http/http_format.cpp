#include "http/http_format.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

namespace trellon {

namespace {

// ---------------------------------------------------------------------------
// Content types

struct ContentTypeRow {
    const char* extension;
    const char* type;
};

constexpr const char* kDefaultContentType = "text/plain; charset=ISO-8859-1";

// Order matters: the first row whose extension ends the name wins, which is
// why ".man", ".me" and ".ms" may stand twice without harm.
constexpr ContentTypeRow kContentTypes[] = {
    {".html", "text/html; charset=ISO-8859-1"},
    {".htm", "text/html; charset=ISO-8859-1"},
    {".txt", "text/plain; charset=ISO-8859-1"},
    {".rtx", "text/richtext"},
    {".etx", "text/x-setext"},
    {".tsv", "text/tab-separated-values"},
    {".css", "text/css"},
    {".xml", "text/xml"},
    {".dtd", "text/xml"},
    {".gif", "image/gif"},
    {".jpg", "image/jpeg"},
    {".jpeg", "image/jpeg"},
    {".jpe", "image/jpeg"},
    {".jfif", "image/jpeg"},
    {".tif", "image/tiff"},
    {".tiff", "image/tiff"},
    {".pbm", "image/x-portable-bitmap"},
    {".pgm", "image/x-portable-graymap"},
    {".ppm", "image/x-portable-pixmap"},
    {".pnm", "image/x-portable-anymap"},
    {".xbm", "image/x-xbitmap"},
    {".xpm", "image/x-xpixmap"},
    {".xwd", "image/x-xwindowdump"},
    {".ief", "image/ief"},
    {".png", "image/png"},
    {".au", "audio/basic"},
    {".snd", "audio/basic"},
    {".aif", "audio/x-aiff"},
    {".aiff", "audio/x-aiff"},
    {".aifc", "audio/x-aiff"},
    {".ra", "audio/x-pn-realaudio"},
    {".ram", "audio/x-pn-realaudio"},
    {".rm", "audio/x-pn-realaudio"},
    {".rpm", "audio/x-pn-realaudio-plugin"},
    {".wav", "audio/wav"},
    {".mid", "audio/midi"},
    {".midi", "audio/midi"},
    {".kar", "audio/midi"},
    {".mpga", "audio/mpeg"},
    {".mp2", "audio/mpeg"},
    {".mp3", "audio/mpeg"},
    {".mpeg", "video/mpeg"},
    {".mpg", "video/mpeg"},
    {".mpe", "video/mpeg"},
    {".qt", "video/quicktime"},
    {".mov", "video/quicktime"},
    {".avi", "video/x-msvideo"},
    {".movie", "video/x-sgi-movie"},
    {".mv", "video/x-sgi-movie"},
    {".vx", "video/x-rad-screenplay"},
    {".a", "application/octet-stream"},
    {".bin", "application/octet-stream"},
    {".exe", "application/octet-stream"},
    {".dump", "application/octet-stream"},
    {".o", "application/octet-stream"},
    {".class", "application/java"},
    {".js", "application/x-javascript"},
    {".ai", "application/postscript"},
    {".eps", "application/postscript"},
    {".ps", "application/postscript"},
    {".dir", "application/x-director"},
    {".dcr", "application/x-director"},
    {".dxr", "application/x-director"},
    {".fgd", "application/x-director"},
    {".aam", "application/x-authorware-map"},
    {".aas", "application/x-authorware-seg"},
    {".aab", "application/x-authorware-bin"},
    {".fh4", "image/x-freehand"},
    {".fh7", "image/x-freehand"},
    {".fh5", "image/x-freehand"},
    {".fhc", "image/x-freehand"},
    {".fh", "image/x-freehand"},
    {".spl", "application/futuresplash"},
    {".swf", "application/x-shockwave-flash"},
    {".dvi", "application/x-dvi"},
    {".gtar", "application/x-gtar"},
    {".hdf", "application/x-hdf"},
    {".hqx", "application/mac-binhex40"},
    {".iv", "application/x-inventor"},
    {".latex", "application/x-latex"},
    {".man", "application/x-troff-man"},
    {".me", "application/x-troff-me"},
    {".mif", "application/x-mif"},
    {".ms", "application/x-troff-ms"},
    {".oda", "application/oda"},
    {".pdf", "application/pdf"},
    {".rtf", "application/rtf"},
    {".bcpio", "application/x-bcpio"},
    {".cpio", "application/x-cpio"},
    {".sv4cpio", "application/x-sv4cpio"},
    {".sv4crc", "application/x-sv4crc"},
    {".sh", "application/x-sh"},
    {".shar", "application/x-shar"},
    {".sit", "application/x-stuffit"},
    {".tar", "application/x-tar"},
    {".tex", "application/x-tex"},
    {".texi", "application/x-texinfo"},
    {".texinfo", "application/x-texinfo"},
    {".tr", "application/x-troff"},
    {".roff", "application/x-troff"},
    {".man", "application/x-troff-man"},
    {".me", "application/x-troff-me"},
    {".ms", "application/x-troff-ms"},
    {".zip", "application/x-zip-compressed"},
    {".tsp", "application/dsptype"},
    {".wsrc", "application/x-wais-source"},
    {".ustar", "application/x-ustar"},
    {".cdf", "application/x-netcdf"},
    {".nc", "application/x-netcdf"},
    {".doc", "application/msword"},
    {".ppt", "application/vnd.ms-powerpoint"},
    {".wrl", "model/vrml"},
    {".vrml", "model/vrml"},
    {".mime", "message/rfc822"},
    {".pac", "application/x-ns-proxy-autoconfig"},
    {".wml", "text/vnd.wap.wml"},
    {".wmlc", "application/vnd.wap.wmlc"},
    {".wmls", "text/vnd.wap.wmlscript"},
    {".wmlsc", "application/vnd.wap.wmlscriptc"},
    {".wbmp", "image/vnd.wap.wbmp"},
};
static_assert(std::size(kContentTypes) == 120);

char lowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool endsWithIgnoringCase(const std::string& text, std::string_view ending) {
    if (ending.size() > text.size()) return false;
    const std::size_t start = text.size() - ending.size();
    for (std::size_t i = 0; i < ending.size(); ++i) {
        if (lowerAscii(text[start + i]) != lowerAscii(ending[i])) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------
// Calendar arithmetic, proleptic Gregorian, without the C library's time zone
// and locale (civil-from-days after H. Hinnant, "chrono-Compatible Low-Level
// Date Algorithms").

constexpr const char* kWeekdayAbbreviations[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthAbbreviations[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                               "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

std::int64_t floorDiv(std::int64_t a, std::int64_t b) {
    std::int64_t q = a / b;
    return (a % b != 0 && ((a < 0) != (b < 0))) ? q - 1 : q;
}

std::int64_t daysFromCivil(std::int64_t year, int month, int day) {  // month 1..12
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = floorDiv(year, 400);
    const std::int64_t yearOfEra = year - era * 400;
    const int shiftedMonth = month > 2 ? month - 3 : month + 9;
    const std::int64_t dayOfYear = (153 * shiftedMonth + 2) / 5 + day - 1;
    const std::int64_t dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

void civilFromDays(std::int64_t days, std::int64_t& year, int& month, int& day) {
    days += 719468;
    const std::int64_t era = floorDiv(days, 146097);
    const std::int64_t dayOfEra = days - era * 146097;
    const std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const std::int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;
    day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
    month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
    year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
}

bool isLeapYear(std::int64_t year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int daysInMonth(std::int64_t year, int month) {  // month 1..12
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && isLeapYear(year) ? 29 : kDays[month - 1];
}

// ---------------------------------------------------------------------------
// Date parsing

struct NamedValue {
    std::string_view name;
    int value;
};

template <std::size_t N>
constexpr std::array<NamedValue, N> sortedByName(std::array<NamedValue, N> rows) {
    std::sort(rows.begin(), rows.end(),
              [](const NamedValue& a, const NamedValue& b) { return a.name < b.name; });
    return rows;
}

constexpr auto kWeekdays = sortedByName(std::array<NamedValue, 14>{{
    {"sun", 0},
    {"sunday", 0},
    {"mon", 1},
    {"monday", 1},
    {"tue", 2},
    {"tuesday", 2},
    {"wed", 3},
    {"wednesday", 3},
    {"thu", 4},
    {"thursday", 4},
    {"fri", 5},
    {"friday", 5},
    {"sat", 6},
    {"saturday", 6},
}});

constexpr auto kMonths = sortedByName(std::array<NamedValue, 23>{{
    {"jan", 0},       {"january", 0},   {"feb", 1},       {"february", 1}, {"mar", 2},
    {"march", 2},     {"apr", 3},       {"april", 3},     {"may", 4},      {"jun", 5},
    {"june", 5},      {"jul", 6},       {"july", 6},      {"aug", 7},      {"august", 7},
    {"sep", 8},       {"september", 8}, {"oct", 9},       {"october", 9},  {"nov", 10},
    {"november", 10}, {"dec", 11},      {"december", 11},
}});

template <std::size_t N>
int lookUp(const std::array<NamedValue, N>& table, const std::string& word) {
    std::string lower(word);
    for (char& c : lower) c = lowerAscii(c);
    auto it = std::lower_bound(
        table.begin(), table.end(), lower,
        [](const NamedValue& row, const std::string& key) { return row.name < key; });
    return (it != table.end() && it->name == lower) ? it->value : -1;
}

enum class Field { Weekday, Day, Month, Year, Hour, Minute, Second };

struct DateForm {
    const char* format;  // scanf-style: "%d", "%400[a-zA-Z]", blanks and literals
    std::vector<Field> fields;
};

const std::vector<DateForm>& dateForms() {
    using F = Field;
    static const std::vector<DateForm> forms = {
        {"%d-%400[a-zA-Z]-%d %d:%d:%d GMT",
         {F::Day, F::Month, F::Year, F::Hour, F::Minute, F::Second}},
        {"%d %400[a-zA-Z] %d %d:%d:%d GMT",
         {F::Day, F::Month, F::Year, F::Hour, F::Minute, F::Second}},
        {"%d:%d:%d GMT %d-%400[a-zA-Z]-%d",
         {F::Hour, F::Minute, F::Second, F::Day, F::Month, F::Year}},
        {"%d:%d:%d GMT %d %400[a-zA-Z] %d",
         {F::Hour, F::Minute, F::Second, F::Day, F::Month, F::Year}},
        {"%400[a-zA-Z], %d-%400[a-zA-Z]-%d %d:%d:%d GMT",
         {F::Weekday, F::Day, F::Month, F::Year, F::Hour, F::Minute, F::Second}},
        {"%400[a-zA-Z], %d %400[a-zA-Z] %d %d:%d:%d GMT",
         {F::Weekday, F::Day, F::Month, F::Year, F::Hour, F::Minute, F::Second}},
        {"%400[a-zA-Z] %400[a-zA-Z] %d %d:%d:%d GMT %d",
         {F::Weekday, F::Month, F::Day, F::Hour, F::Minute, F::Second, F::Year}},
    };
    return forms;
}

bool isSpace(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}
bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// A bound far beyond every valid field, so long digit runs cannot overflow.
constexpr std::int64_t kNumberCap = 1000000000;

// Scans text the way sscanf would with these formats and returns how many
// conversions succeeded; numbers and words land in order of appearance.
// Written out rather than calling sscanf: no fixed word buffers to size, and
// no undefined behaviour on digit runs beyond the int range.
std::size_t scanDate(const std::string& text, const char* format,
                     std::vector<std::int64_t>& numbers, std::vector<std::string>& words) {
    std::size_t conversions = 0;
    std::size_t pos = 0;
    for (const char* f = format; *f != '\0'; ++f) {
        if (*f == '%') {
            if (f[1] == 'd') {
                ++f;
                while (pos < text.size() && isSpace(text[pos])) ++pos;
                bool negative = false;
                if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
                    negative = text[pos] == '-';
                    ++pos;
                }
                if (pos >= text.size() || !isDigit(text[pos])) return conversions;
                std::int64_t value = 0;
                while (pos < text.size() && isDigit(text[pos])) {
                    value = std::min(value * 10 + (text[pos] - '0'), kNumberCap);
                    ++pos;
                }
                numbers.push_back(negative ? -value : value);
            } else {
                // "%400[a-zA-Z]": a run of 1 to 400 letters, no blank skipping.
                f = std::strchr(f, ']');
                std::size_t start = pos;
                while (pos < text.size() && pos - start < 400 && isLetter(text[pos])) ++pos;
                if (pos == start) return conversions;
                words.push_back(text.substr(start, pos - start));
            }
            ++conversions;
        } else if (isSpace(*f)) {
            while (pos < text.size() && isSpace(text[pos])) ++pos;
        } else {
            if (pos >= text.size() || text[pos] != *f) return conversions;
            ++pos;
        }
    }
    return conversions;
}

// -1 when the fields do not name a real moment.
std::int64_t secondsFromFields(std::int64_t year, std::int64_t month0, std::int64_t day,
                               std::int64_t hour, std::int64_t minute, std::int64_t second) {
    // Two-digit years: 70..99 are the 1900s, 0..69 the 2000s. Years of three
    // digits or up to 1900 are no year a browser sends; they are refused
    // rather than turned into dates centuries away.
    if (year < 0) return -1;
    if (year < 70) {
        year += 2000;
    } else if (year < 100) {
        year += 1900;
    } else if (year < 1901 || year > 9999) {
        return -1;
    }
    if (month0 < 0 || month0 > 11) return -1;
    const int month = static_cast<int>(month0) + 1;
    if (day < 1 || day > daysInMonth(year, month)) return -1;
    if (hour < 0 || hour > 23 || minute < 0 || minute > 59 || second < 0 || second > 60) {
        return -1;
    }
    return daysFromCivil(year, month, static_cast<int>(day)) * 86400 + hour * 3600 + minute * 60 +
           second;
}

// ---------------------------------------------------------------------------
// User-Agent patterns

// One alternative against the whole value. Walks the set of value positions
// reachable after each pattern element, so the cost stays length * length
// however many stars the pattern holds.
bool matchAlternative(std::string_view pattern, std::string_view value) {
    std::vector<char> reachable(value.size() + 1, 0);
    std::vector<char> next(value.size() + 1, 0);
    reachable[0] = 1;
    for (std::size_t p = 0; p < pattern.size(); ++p) {
        std::fill(next.begin(), next.end(), 0);
        if (pattern[p] == '*' && p + 1 < pattern.size() && pattern[p + 1] == '*') {
            ++p;
            auto first = std::find(reachable.begin(), reachable.end(), 1);
            std::fill(next.begin() + (first - reachable.begin()), next.end(), 1);
        } else if (pattern[p] == '*') {
            for (std::size_t j = 0; j <= value.size(); ++j) {
                if (!reachable[j] && !(j > 0 && next[j - 1] && value[j - 1] != '/')) continue;
                next[j] = 1;
            }
        } else {
            for (std::size_t j = 0; j < value.size(); ++j) {
                if (reachable[j] && (pattern[p] == '?' || pattern[p] == value[j])) next[j + 1] = 1;
            }
        }
        reachable.swap(next);
    }
    return reachable[value.size()] != 0;
}

}  // namespace

const char* contentTypeFor(const std::string& fileName) {
    for (const ContentTypeRow& row : kContentTypes) {
        if (endsWithIgnoringCase(fileName, row.extension)) return row.type;
    }
    return kDefaultContentType;
}

bool isTextContentType(const char* contentType) {
    return contentType != nullptr && std::strncmp(contentType, "text", 4) == 0;
}

std::string formatHttpTime(std::int64_t secondsSince1970) {
    const std::int64_t days = floorDiv(secondsSince1970, 86400);
    // From the remainder, not from days * 86400: that product leaves the
    // 64 bits for times near either end of them (a file's odd mtime).
    const std::int64_t remainder = secondsSince1970 % 86400;
    const std::int64_t secondOfDay = remainder < 0 ? remainder + 86400 : remainder;
    std::int64_t year = 0;
    int month = 0;
    int day = 0;
    civilFromDays(days, year, month, day);
    const std::int64_t weekday = ((days % 7) + 7 + 4) % 7;  // 1 January 1970 was a Thursday
    char text[80];
    std::snprintf(text, sizeof(text), "%s, %02d %s %lld %02d:%02d:%02d GMT",
                  kWeekdayAbbreviations[weekday], day, kMonthAbbreviations[month - 1],
                  static_cast<long long>(year), static_cast<int>(secondOfDay / 3600),
                  static_cast<int>(secondOfDay / 60 % 60), static_cast<int>(secondOfDay % 60));
    return text;
}

std::int64_t parseHttpDate(const std::string& input) {
    std::size_t start = 0;
    while (start < input.size() && (input[start] == ' ' || input[start] == '\t')) ++start;
    const std::string text = input.substr(start);

    std::vector<std::int64_t> numbers;
    std::vector<std::string> words;
    for (const DateForm& form : dateForms()) {
        numbers.clear();
        words.clear();
        if (scanDate(text, form.format, numbers, words) != form.fields.size()) continue;

        std::int64_t day = 0, month = 0, year = 0, hour = 0, minute = 0, second = 0;
        std::size_t nextNumber = 0;
        std::size_t nextWord = 0;
        bool namesKnown = true;
        for (Field field : form.fields) {
            switch (field) {
                case Field::Weekday:
                    // Must be a real name; which day it names is not checked.
                    namesKnown = namesKnown && lookUp(kWeekdays, words[nextWord++]) >= 0;
                    break;
                case Field::Month:
                    month = lookUp(kMonths, words[nextWord++]);
                    namesKnown = namesKnown && month >= 0;
                    break;
                case Field::Day:
                    day = numbers[nextNumber++];
                    break;
                case Field::Year:
                    year = numbers[nextNumber++];
                    break;
                case Field::Hour:
                    hour = numbers[nextNumber++];
                    break;
                case Field::Minute:
                    minute = numbers[nextNumber++];
                    break;
                case Field::Second:
                    second = numbers[nextNumber++];
                    break;
            }
        }
        if (!namesKnown) continue;
        return secondsFromFields(year, month, day, hour, minute, second);
    }
    return -1;
}

bool matchPattern(const std::string& pattern, const std::string& value) {
    std::string_view rest(pattern);
    while (true) {
        const std::size_t bar = rest.find('|');
        if (matchAlternative(rest.substr(0, bar), value)) return true;
        if (bar == std::string_view::npos) return false;
        rest.remove_prefix(bar + 1);
    }
}

}  // namespace trellon

#include "console_locale.h"

#include <langinfo.h>
#include <locale.h>

#include <array>
#include <atomic>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"
#include "textconv.h"

namespace {

constexpr std::array<const char*, 7> gbk_compatible_codesets = {
    "GBK", "GB18030", "GB2312", "EUCCN", "CP936", "WINDOWS936", "MS936",
};

// The codeset named by a locale string such as "zh_CN.UTF-8@euro": the part after '.', up to '@'.
void codeset_of_locale_name(const char* name, char* out, std::size_t out_size) {
    out[0] = '\0';
    const char* dot = std::strchr(name, '.');
    if (dot == nullptr) {
        return;
    }
    // strchr and strlen, which the program runs anyway, not strcspn: the C library's strcspn lies
    // apart from everything else the program runs, and would hold pages of its own for this one
    // call.
    const char* at = std::strchr(dot + 1, '@');
    std::size_t length =
        at != nullptr ? static_cast<std::size_t>(at - (dot + 1)) : std::strlen(dot + 1);
    if (length >= out_size) {
        length = out_size - 1;
    }
    std::memcpy(out, dot + 1, length);
    out[length] = '\0';
}

// GBK, GB18030, GB2312 / EUC-CN, CP936 and their other names, in any case and punctuation.
bool codeset_is_gbk_compatible(const char* codeset) {
    // Compare without case and punctuation: GB-2312, gb2312, EUC_CN and euc-cn are all the same.
    char folded[32];
    std::size_t length = 0;
    for (const char* c = codeset; *c != '\0' && length + 1 < sizeof folded; ++c) {
        if (*c != '-' && *c != '_' && *c != ' ') {
            folded[length++] = static_cast<char>(std::toupper(static_cast<unsigned char>(*c)));
        }
    }
    folded[length] = '\0';
    for (const char* compatible : gbk_compatible_codesets) {
        if (std::strcmp(folded, compatible) == 0) {
            return true;
        }
    }
    return false;
}

// The character set of the user's locale, "" when none is named.
void terminal_codeset(char* out, std::size_t out_size) {
    out[0] = '\0';
    // The locale for LC_CTYPE is the first of these that is set, as for setlocale(LC_CTYPE, "").
    const char* name = nullptr;
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        name = std::getenv(variable);
        if (name != nullptr && name[0] != '\0') {
            break;
        }
        name = nullptr;
    }
    // A name that says its codeset ("zh_CN.UTF-8") is taken at its word: loading the locale
    // (locale.alias, LC_CTYPE and the gconv cache) would cost start-up time and memory to learn
    // the same.
    if (name != nullptr) {
        codeset_of_locale_name(name, out, out_size);
        if (out[0] != '\0') {
            return;
        }
    }
    // "" asks for the user's locale from the environment, as setlocale(LC_CTYPE, "") would, but
    // into a locale object of our own: the process's locale stays "C".
    locale_t user_locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (user_locale != static_cast<locale_t>(nullptr)) {
        std::snprintf(out, out_size, "%s", nl_langinfo_l(CODESET, user_locale));
        freelocale(user_locale);
    }
}

}  // namespace

// Read once, when first needed: threads that ask at the same moment read the same environment and
// work out the same answer, so the first to store it needs no lock.
bool locale_is_gbk_compatible() {
    static std::atomic<int> compatible{-1};  // -1 until known
    int known = compatible.load(std::memory_order_relaxed);
    if (known < 0) {
        char codeset[64];
        terminal_codeset(codeset, sizeof codeset);
        known = codeset_is_gbk_compatible(codeset) ? 1 : 0;
        compatible.store(known, std::memory_order_relaxed);
    }
    return known != 0;
}

const char* path_as_console_text(const char* path, char* out, std::size_t out_size) {
    // Typed in the user's locale; console text is GBK. Outside a GBK locale the path is taken as
    // UTF-8 and shown by its GBK form only when that says the same thing: converted back it gives
    // the path again. A path that is not UTF-8, or holds a character GBK does not have, is shown as
    // its own bytes, not as a GBK form with characters missing.
    const std::size_t length = std::strlen(path);
    constexpr std::size_t longest = 4096;
    if (length >= out_size || length >= longest) {
        return path;
    }
    const auto* bytes = reinterpret_cast<const unsigned char*>(path);
    bool ascii = true;
    for (std::size_t i = 0; i < length; ++i) {
        ascii = ascii && bytes[i] < 0x80;
    }
    if (ascii || locale_is_gbk_compatible()) {
        return path;
    }
    auto* gbk = reinterpret_cast<unsigned char*>(out);
    std::size_t gbk_length = 0;
    unsigned char back[longest * 3 / 2 + 1];
    std::size_t back_length = 0;
    if (utf8_to_gbk(bytes, length, gbk, &gbk_length) != 0 ||
        gbk_to_utf8(gbk, gbk_length, back, &back_length) != 0 || back_length != length ||
        std::memcmp(back, bytes, length) != 0) {
        return path;
    }
    return out;
}

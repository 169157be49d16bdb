#include "console_encoding.h"

#include <langinfo.h>
#include <locale.h>
#include <poll.h>
#include <unistd.h>

#include <array>
#include <cctype>
#include <cerrno>
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
    std::size_t length = std::strcspn(dot + 1, "@");
    if (length >= out_size) {
        length = out_size - 1;
    }
    std::memcpy(out, dot + 1, length);
    out[length] = '\0';
}

// One converted stream: where its bytes go and the lead byte it carries between writes (0 for
// none: a lead byte is 0x80 or above).
struct converted_stream {
    int fd;
    unsigned char pending_lead;
};

converted_stream converted_stdout{STDOUT_FILENO, 0};
converted_stream converted_stderr{STDERR_FILENO, 0};

bool write_all(int fd, const unsigned char* bytes, std::size_t length) {
    while (length > 0) {
        ssize_t put = write(fd, bytes, length);
        if (put > 0) {
            bytes += put;
            length -= static_cast<std::size_t>(put);
        } else if (put < 0 && errno == EAGAIN) {
            pollfd state{fd, POLLOUT, 0};  // someone made the terminal non-blocking
            poll(&state, 1, -1);
        } else if (put < 0 && errno != EINTR) {
            return false;
        }
    }
    return true;
}

// fopencookie write function. The stream is unbuffered and locked by stdio around each call, so
// the two threads that print never meet inside it.
ssize_t converted_stream_write(void* cookie, const char* data, std::size_t size) {
    auto* stream = static_cast<converted_stream*>(cookie);
    constexpr std::size_t chunk = 256;
    unsigned char gbk[chunk + 1];                  // the carried lead, then a chunk of the write
    unsigned char utf8[(3 * sizeof gbk + 1) / 2];  // gbk_to_utf8_complete's bound
    for (std::size_t done = 0; done < size;) {
        std::size_t length = 0;
        if (stream->pending_lead != 0) {
            gbk[length++] = stream->pending_lead;
        }
        const std::size_t take = size - done < chunk ? size - done : chunk;
        std::memcpy(gbk + length, data + done, take);
        length += take;
        done += take;
        std::size_t consumed = 0;
        const std::size_t out = gbk_to_utf8_complete(gbk, length, utf8, &consumed);
        stream->pending_lead = consumed < length ? gbk[consumed] : 0;
        if (!write_all(stream->fd, utf8, out)) {
            return 0;  // stdio's way to report a failed write
        }
    }
    return static_cast<ssize_t>(size);
}

FILE* open_converted_stream(converted_stream* stream) {
    cookie_io_functions_t functions{};
    functions.write = converted_stream_write;
    FILE* file = fopencookie(stream, "w", functions);
    if (file != nullptr) {
        setvbuf(file, nullptr, _IONBF, 0);
    }
    return file;
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
    // "" asks for the user's locale from the environment, as setlocale(LC_CTYPE, "") would, but
    // into a locale object of our own: the process's locale stays "C".
    locale_t user_locale = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(nullptr));
    if (user_locale != static_cast<locale_t>(nullptr)) {
        std::snprintf(out, out_size, "%s", nl_langinfo_l(CODESET, user_locale));
        freelocale(user_locale);
        return;
    }
    // Not installed here: the name still says what the terminal speaks.
    for (const char* variable : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* name = std::getenv(variable);
        if (name != nullptr && name[0] != '\0') {
            codeset_of_locale_name(name, out, out_size);
            return;
        }
    }
}

}  // namespace

void console_streams_convert() {
    bool stdout_terminal = isatty(STDOUT_FILENO) != 0;
    bool stderr_terminal = isatty(STDERR_FILENO) != 0;
    if (!stdout_terminal && !stderr_terminal) {
        return;
    }
    char codeset[64];
    terminal_codeset(codeset, sizeof codeset);
    if (codeset_is_gbk_compatible(codeset)) {
        return;
    }
    code_tables_init();
    // glibc lets a program assign the standard streams; every later printf, puts and fputs on
    // stdout or stderr then goes through the converting stream.
    if (stdout_terminal) {
        if (FILE* file = open_converted_stream(&converted_stdout)) {
            stdout = file;
        }
    }
    if (stderr_terminal) {
        if (FILE* file = open_converted_stream(&converted_stderr)) {
            stderr = file;
        }
    }
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
    char codeset[64];
    terminal_codeset(codeset, sizeof codeset);
    if (ascii || codeset_is_gbk_compatible(codeset)) {
        return path;
    }
    code_tables_init();
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

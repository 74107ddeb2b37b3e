// vellumark-cli: the Generate command for scripts and for checking results
// without a window. It prints what the window's result boxes would show and
// never touches the settings or the instance table.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>

#include "app/generate.h"
#include "app/textbytes.h"
#include "platform/base/ascii.h"
#include "platform/base/exception.h"
#include "platform/files/file_reader.h"
#include "platform/ui/error_text.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUsage = "usage: vellumark-cli [--md5] [--sha1] [--crc32] [--hmac KEY] (FILE | --text TEXT)\n";

constexpr const char* kHelp =
    "Computes message digests and checksums of a file or a text, as the Vellumark\n"
    "window shows them.\n"
    "\n"
    "  --md5          MD5 (the default when no algorithm is chosen)\n"
    "  --sha1         SHA-1\n"
    "  --crc32        CRC-32, never keyed\n"
    "  --hmac KEY     keyed MD5 and SHA-1 (HMAC) under KEY, which may be empty\n"
    "  --text TEXT    digest TEXT as the text page would: every line break\n"
    "                 becomes CR LF, nothing is trimmed\n"
    "  FILE           digest the file's bytes; blanks around the name are\n"
    "                 dropped, and \"*\" and \"?\" in its last part are wildcards\n"
    "                 for the existence test\n"
    "  --             ends the options, so that FILE may begin with \"-\"\n"
    "  --help         show this text\n"
    "\n"
    "One line per chosen algorithm, in the order MD5, SHA-1, CRC-32: the label\n"
    "(MD5, SHA1, CRC32), a space and the result in upper-case hexadecimal.\n"
    "Exit status: 0 on success, 1 when the input cannot be digested (the reason\n"
    "on standard error), 2 on bad usage.\n";

struct Request {
    GenerateInput input;
    bool help = false;
};

// Thrown for a command line that cannot be understood.
struct UsageError {
    std::string problem;
};

Request ParseArguments(int argc, char** argv)
{
    Request request;
    GenerateInput& input = request.input;
    std::optional<std::string> file;
    std::optional<std::string> text;
    std::optional<std::string> key;
    bool optionsEnded = false;

    for (int i = 1; i < argc; ++i) {
        const std::string_view argument = argv[i];
        const auto value = [&](std::string_view option) -> std::string {
            if (i + 1 >= argc)
                throw UsageError{std::string(option) + " needs a value"};
            return argv[++i];
        };
        const auto once = [](std::optional<std::string>& slot, std::string v, std::string_view what) {
            if (slot)
                throw UsageError{std::string(what) + " given more than once"};
            slot = std::move(v);
        };

        if (optionsEnded || argument.size() < 2 || argument.front() != '-') {
            once(file, std::string(argument), "FILE");
        } else if (argument == "--") {
            optionsEnded = true;
        } else if (argument == "--help") {
            request.help = true;
        } else if (argument == "--md5") {
            input.md5 = true;
        } else if (argument == "--sha1") {
            input.sha1 = true;
        } else if (argument == "--crc32") {
            input.crc32 = true;
        } else if (argument == "--hmac") {
            once(key, value(argument), "--hmac");
        } else if (argument == "--text") {
            once(text, value(argument), "--text");
        } else {
            throw UsageError{"unknown option " + std::string(argument)};
        }
    }
    if (request.help)
        return request;

    if (file && text)
        throw UsageError{"give either FILE or --text, not both"};
    if (!file && !text)
        throw UsageError{"give FILE or --text TEXT"};

    if (!input.md5 && !input.sha1 && !input.crc32)
        input.md5 = true;
    if (key) {
        input.hmac = true;
        input.key = *key;
    }
    if (file) {
        input.source = GenerateSource::File;
        input.fileName = TrimFileName(*file);
    } else {
        // The arguments arrive in the locale's encoding (UTF-8 for Qt on
        // Linux); the text then takes the same way to bytes as a text pasted
        // into the window. Bytes that are no text in it could never be in the
        // text box either: they would be digested as replacement characters.
        QStringDecoder decoder(QStringDecoder::System);
        const QString decoded = decoder.decode(QByteArrayView(text->data(), static_cast<qsizetype>(text->size())));
        if (decoder.hasError())
            throw Exception("The text holds bytes that are not valid UTF-8, the locale's encoding");
        input.source = GenerateSource::Text;
        input.text = TextPageBytes(decoded);
    }
    return request;
}

const char* Label(Algorithm algorithm)
{
    switch (algorithm) {
    case Algorithm::Md5:
        return "MD5";
    case Algorithm::Sha1:
        return "SHA1";
    case Algorithm::Crc32:
        return "CRC32";
    }
    return "";
}

// Control characters (of a file name, say) are written escaped, so that
// none reaches the terminal as a command; a backslash is doubled to keep the
// escapes unambiguous. UTF-8's C1 controls (C2 80 to C2 9F) count too.
std::string Escaped(const std::string& text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const auto byte = static_cast<unsigned char>(text[i]);
        const bool c1 = byte == 0xC2 && i + 1 < text.size() && static_cast<unsigned char>(text[i + 1]) >= 0x80 &&
                        static_cast<unsigned char>(text[i + 1]) <= 0x9F;
        if (byte == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte == 0x7F || c1) {
            const auto escapeByte = [&out](unsigned char b) {
                out += "\\x";
                platform::AppendHexBytes(out, &b, 1, true);
            };
            escapeByte(byte);
            if (c1)
                escapeByte(static_cast<unsigned char>(text[++i]));
        } else {
            out += text[i];
        }
    }
    return out;
}

int Fail(const std::string& message)
{
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", Escaped(platform::WithFullStop(message)).c_str());
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv)
{
    Request request;
    try {
        request = ParseArguments(argc, argv);
    } catch (const UsageError& error) {
        std::fprintf(stderr, "vellumark-cli: %s\n%s", Escaped(error.problem).c_str(), kUsage);
        return kExitUsage;
    } catch (const Exception& error) {
        return Fail(error.Message());
    } catch (const std::bad_alloc&) {
        return Fail("Out of memory");
    }
    // Files are read under a lease, whose break would otherwise end us.
    platform::IgnoreLeaseBreakSignal();
    if (request.help) {
        std::fputs(kUsage, stdout);
        std::fputs(kHelp, stdout);
        return std::fflush(stdout) == 0 ? 0 : kExitFailure;
    }

    try {
        Generate(request.input, [](Algorithm algorithm, const std::string& result) {
            std::printf("%s %s\n", Label(algorithm), result.c_str());
        });
    } catch (const Exception& error) {
        return Fail(error.Message());
    } catch (const std::bad_alloc&) {
        return Fail("Out of memory");
    } catch (const std::exception& error) {
        return Fail(error.what());
    }

    if (std::fflush(stdout) != 0 || std::ferror(stdout))
        return Fail(std::string("Cannot write the results: ") + std::strerror(errno));
    return 0;
}

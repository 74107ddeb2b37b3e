#include "app/generate.h"

#include "engine/digest.h"
#include "engine/numtext.h"
#include "platform/base/ascii.h"
#include "platform/files/file_reader.h"
#include "platform/files/file_search.h"

namespace {

// The engine's code for a name that the existence test turned down.
constexpr std::uint32_t kInvalidFileName = 7;

// Runs the ticked algorithms in the order MD5, SHA-1, CRC-32 over one input,
// handing each result on as soon as it is known. The callables compute the
// plain or keyed digest of that input; which one is chosen here, per tick.
template <class Md5Of, class HmacMd5Of, class Sha1Of, class HmacSha1Of, class Crc32Of>
void DeliverResults(const GenerateInput& input, const ResultSink& sink, Md5Of md5Of, HmacMd5Of hmacMd5Of, Sha1Of sha1Of,
                    HmacSha1Of hmacSha1Of, Crc32Of crc32Of)
{
    if (input.md5) {
        Md5Digest digest{};
        if (input.hmac)
            hmacMd5Of(digest);
        else
            md5Of(digest);
        sink(Algorithm::Md5, platform::AsciiUpper(DigestToHexText(digest)));
    }
    if (input.sha1) {
        Sha1Digest digest{};
        if (input.hmac)
            hmacSha1Of(digest);
        else
            sha1Of(digest);
        sink(Algorithm::Sha1, platform::AsciiUpper(DigestToHexText(digest)));
    }
    if (input.crc32)
        sink(Algorithm::Crc32, WordToHexText(crc32Of(), 0, true));
}

void GenerateFromFile(const GenerateInput& input, const ResultSink& sink)
{
    if (!platform::FileExistsByPattern(input.fileName))
        throw EHashError(kInvalidFileName, "");

    // The file and its block live until the last result is out, and go on
    // every path, failure included.
    platform::SharedReadFile file(input.fileName);
    const platform::FileBlock block = file.ReadAll();
    const void* data = block.Data();
    const std::int32_t size = block.Size();
    const std::string& key = input.key;

    DeliverResults(
        input, sink, [&](Md5Digest& d) { Md5OfBytes(data, size, d); },
        [&](Md5Digest& d) { HmacMd5OfBytes(key, data, size, d); }, [&](Sha1Digest& d) { Sha1OfBytes(data, size, d); },
        [&](Sha1Digest& d) { HmacSha1OfBytes(key, data, size, d); }, [&] { return Crc32OfBytes(data, size); });
}

void GenerateFromText(const GenerateInput& input, const ResultSink& sink)
{
    const std::string& text = input.text;
    const std::string& key = input.key;

    DeliverResults(
        input, sink, [&](Md5Digest& d) { Md5OfText(text, d); }, [&](Md5Digest& d) { HmacMd5OfText(key, text, d); },
        [&](Sha1Digest& d) { Sha1OfText(text, d); }, [&](Sha1Digest& d) { HmacSha1OfText(key, text, d); },
        [&] { return Crc32OfText(text); });
}

}  // namespace

void Generate(const GenerateInput& input, const ResultSink& sink)
{
    switch (input.source) {
    case GenerateSource::File:
        GenerateFromFile(input, sink);
        break;
    case GenerateSource::Text:
        GenerateFromText(input, sink);
        break;
    case GenerateSource::Nothing:
        break;
    }
}

std::string TrimFileName(std::string_view name)
{
    const auto blank = [](char c) { return static_cast<unsigned char>(c) < 33; };
    std::size_t first = 0;
    std::size_t last = name.size();
    while (first < last && blank(name[first]))
        ++first;
    while (last > first && blank(name[last - 1]))
        --last;
    return std::string(name.substr(first, last - first));
}

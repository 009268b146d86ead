// Fuzz target for the viewer's receiving path: bytes as they come off the socket go through the
// frame parser, and every complete frame body is decoded the way the viewer decodes it
// (decodeFrameBody() with the viewer's allocation limit). The same bytes are also fed in small
// pieces, which must give the same frames. Frames of the banded writer carry a band index; a
// mutated index must never make the picture differ from what Qt's reader gets.

#include "frameparser.h"
#include "pngreader.h"

#include <QImage>
#include <QImageReader>
#include <QtGlobal>

#include <libdeflate.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <vector>

namespace {

// The viewer's allocation limit for an image (ImageAllocationLimitMiB).
constexpr int ImageAllocationLimitMiB = 256;

[[noreturn]] void fail(const char *what)
{
    std::cerr << "fuzz_frames: " << what << std::endl;
    std::abort();
}

struct Parsed
{
    std::vector<QByteArray> bodies;
    bool error = false;
};

// Runs the parser over `data` handed in pieces of `piece` bytes (0: all at once), as the
// viewer's readImage() does for each read.
Parsed parse(const uint8_t *data, size_t size, size_t piece)
{
    Parsed parsed;
    FrameParser parser;
    size_t pos = 0;
    do {
        const size_t n = piece == 0 ? size - pos : std::min(piece, size - pos);
        parser.append(QByteArray(reinterpret_cast<const char *>(data + pos), qsizetype(n)));
        pos += n;
        for (bool more = true; more;) {
            switch (parser.next()) {
            case FrameParser::Step::NeedLength:
            case FrameParser::Step::NeedBody:
                more = false;
                break;
            case FrameParser::Step::LengthRead:
                if (parser.length() < FrameParser::MinFrameLength || parser.length() > FrameParser::MaxFrameLength)
                    fail("a length outside the frame limits was accepted");
                break;
            case FrameParser::Step::FrameComplete:
                parsed.bodies.push_back(parser.takeBody());
                break;
            case FrameParser::Step::ProtocolError:
                parsed.error = true;
                if (parser.errorString().isEmpty())
                    fail("a protocol error without a message");
                return parsed;
            }
        }
    } while (pos < size);
    return parsed;
}

quint32 bigEndian32(const char *p)
{
    return (quint32(quint8(p[0])) << 24) | (quint32(quint8(p[1])) << 16) | (quint32(quint8(p[2])) << 8)
        | quint32(quint8(p[3]));
}

// Whether readPng() gives `png` to Qt's reader as it is: not a PNG file at all, or every chunk up
// to IEND whole and none of the compressed ancillary chunks it leaves out.
bool readsUnchanged(const QByteArray &png)
{
    if (!png.startsWith(QByteArray("\x89PNG\r\n\x1a\n", 8)))
        return true;
    for (qsizetype pos = 8;;) {
        if (png.size() - pos < 12)
            return false;
        const quint32 length = bigEndian32(png.constData() + pos);
        if (length > 0x7fffffffu || qsizetype(length) > png.size() - pos - 12)
            return false;
        const QByteArray type = png.mid(pos + 4, 4);
        if (type == "zTXt" || type == "iTXt" || type == "iCCP")
            return false;
        if (type == "IEND")
            return true;
        pos += 12 + qsizetype(length);
    }
}

// Whether zlib inflates the image data of a file that readsUnchanged() accepted.
bool zlibInflates(const QByteArray &png)
{
    QByteArray idat;
    for (qsizetype pos = 8; pos + 12 <= png.size();) {
        const quint32 length = bigEndian32(png.constData() + pos);
        if (png.mid(pos + 4, 4) == "IDAT")
            idat += png.mid(pos + 8, qsizetype(length));
        pos += 12 + qsizetype(length);
    }
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    z.next_in = reinterpret_cast<Bytef *>(idat.data());
    z.avail_in = uInt(idat.size());
    unsigned char scratch[16384];
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = scratch;
        z.avail_out = sizeof scratch;
        status = inflate(&z, Z_NO_FLUSH);
        if (status == Z_BUF_ERROR && z.avail_out != 0)
            break; // input exhausted before the end of the stream
        if (status == Z_BUF_ERROR)
            status = Z_OK;
    }
    inflateEnd(&z);
    return status == Z_STREAM_END;
}

// Decodes one body exactly as the viewer's client and renderer do.
void decode(const QByteArray &body)
{
    QImage image;
    const bool ok = decodeFrameBody(body, image);
    if (body.size() < 4) {
        if (ok)
            fail("a body without a whole marker was read");
        return;
    }
    const bool nullMarker = body.startsWith(QByteArray(4, '\0'));
    if (nullMarker) {
        if (!ok || !image.isNull())
            fail("a null-image frame did not read as a null image");
        return;
    }
    if (ok == image.isNull())
        fail("the stream status does not match the image read");
    if (quint64(image.sizeInBytes()) > quint64(ImageAllocationLimitMiB) << 20)
        fail("an image above the allocation limit was decoded");
    // The fast reader promises Qt's result for every file it is handed unchanged, read or
    // refused. (Qt's reader itself must not see the others: it would allocate what they claim.)
    const QByteArray png = body.mid(4);
    if (!readsUnchanged(png))
        return;
    const QImage qt = QImage::fromData(png, "PNG");
    if (image == qt)
        return;
    // libdeflate inflates a few streams that zlib refuses (codes zlib calls invalid, with the
    // checksum right); such a file only the fast reader reads. Nothing else may differ.
    if (qt.isNull() && !image.isNull() && !zlibInflates(png))
        return;
    fail("readPng() and Qt's reader disagree");
}

// Rewrites the CRC of every chunk of every PNG file in the input, so that mutations inside the
// chunks reach the decoders instead of failing the checksum.
void fixPngChecksums(uint8_t *data, size_t size)
{
    static const uint8_t signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    for (size_t start = 0; start + 8 <= size; ++start) {
        if (std::memcmp(data + start, signature, 8) != 0)
            continue;
        size_t pos = start + 8;
        while (size - pos >= 12) {
            const uint32_t length = (uint32_t(data[pos]) << 24) | (uint32_t(data[pos + 1]) << 16)
                | (uint32_t(data[pos + 2]) << 8) | uint32_t(data[pos + 3]);
            if (length > size - pos - 12)
                break;
            const uint32_t crc = libdeflate_crc32(0, data + pos + 4, size_t(length) + 4);
            uint8_t *out = data + pos + 8 + length;
            out[0] = uint8_t(crc >> 24);
            out[1] = uint8_t(crc >> 16);
            out[2] = uint8_t(crc >> 8);
            out[3] = uint8_t(crc);
            pos += size_t(length) + 12;
        }
        start = pos - 1;
    }
}

} // namespace

extern "C" size_t LLVMFuzzerMutate(uint8_t *data, size_t size, size_t maxSize);

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    QImageReader::setAllocationLimit(ImageAllocationLimitMiB);
    // Qt's reader warns about every broken file; millions of those lines would only slow us down.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext &, const QString &) {});
    return 0;
}

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t *data, size_t size, size_t maxSize, unsigned int seed)
{
    size = LLVMFuzzerMutate(data, size, maxSize);
    if (seed % 4 != 0) // leave some bad checksums for the readers to refuse
        fixPngChecksums(data, size);
    return size;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const Parsed whole = parse(data, size, 0);
    const size_t piece = 1 + size % 13;
    const Parsed pieces = parse(data, size, piece);
    if (pieces.error != whole.error || pieces.bodies != whole.bodies)
        fail("frames depend on how the bytes were split");
    for (const QByteArray &body : whole.bodies)
        decode(body);
    return 0;
}

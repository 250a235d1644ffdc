// JPEG images: analysis of files made by cjpeg and ffmpeg, decoding against djpeg, encoding
// through the picpress plug-in, trimming, hostile segments and the document segment chain.
#include <dlfcn.h>
#include <math.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "container/jpeg_internal.hpp"
#include "kx/dib.h"
#include "kx/ebml.h"
#include "kx/global.h"
#include "kx/jpeg.h"
#include "kx/string.h"
#include "media/plugin_loader.hpp"
#include "tests/media/codec_clips.hpp"
#include "tests/support/stdout_capture.hpp"

namespace {

using Bytes = std::vector<uint8_t>;

// Fixture files, made once per process in a private folder.
struct Files : ::testing::Environment {
    static std::string dir;
    void SetUp() override {
        // The plug-ins sit beside libkxlib in the build tree.
        kx::plugin::set_folder((std::string(KX_TEST_BINARY_DIR) + "/lib").c_str());
        char tmpl[] = "/tmp/kxjpegXXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        const std::string ff = "ffmpeg -nostdin -hide_banner -loglevel error -y -f lavfi -i testsrc2=size=100x70 "
                               "-frames:v 1 ";
        const std::string cmds[] = {
            ff + dir + "/src.ppm",
            "cjpeg -quality 85 -sample 1x1 " + dir + "/src.ppm > " + dir + "/cj444.jpg",
            "cjpeg -quality 85 -sample 2x2 " + dir + "/src.ppm > " + dir + "/cj420.jpg",
            "cjpeg -quality 85 -sample 1x1 -restart 1 " + dir + "/src.ppm > " + dir + "/cj444r.jpg",
            "cjpeg -quality 85 -sample 2x2 -restart 2B " + dir + "/src.ppm > " + dir + "/cj420r.jpg",
            "cjpeg -progressive " + dir + "/src.ppm > " + dir + "/progressive.jpg",
            "cjpeg -grayscale " + dir + "/src.ppm > " + dir + "/grey.jpg",
            ff + "-pix_fmt yuvj444p -q:v 3 " + dir + "/ff444.jpg",
            ff + "-pix_fmt yuvj420p -q:v 3 " + dir + "/ff420.jpg",
        };
        for (const std::string &c : cmds) ASSERT_EQ(system(c.c_str()), 0) << c;
    }
    void TearDown() override {
        if (!dir.empty()) {
            EXPECT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0);
        }
        globalRelease();
    }
};
std::string Files::dir;
const auto *const g_files = ::testing::AddGlobalTestEnvironment(new Files);

Bytes file(const std::string &name) { return kxclip::read_file(Files::dir + "/" + name); }

image_jpeg *jpeg_of(const Bytes &b) { return image_jpeg_new_from_string__IO(b.data(), static_cast<uint32_t>(b.size())); }

struct Jpeg {
    image_jpeg *j;
    explicit Jpeg(const Bytes &b) : j(jpeg_of(b)) {}
    ~Jpeg() { image_jpeg_delete__OI(&j); }
};

// PPM (P6) pixels after the header.
Bytes ppm_pixels(const Bytes &ppm, int *w, int *h) {
    int maxval = 0, n = 0;
    if (sscanf(reinterpret_cast<const char *>(ppm.data()), "P6 %d %d %d%n", w, h, &maxval, &n) != 3) return {};
    return Bytes(ppm.begin() + n + 1, ppm.end());
}

// Offset of the first segment with marker FF m.
size_t segment(const Bytes &b, uint8_t m) {
    for (size_t i = 2; i + 4 <= b.size();) {
        if (b[i] != 0xFF) return std::string::npos;
        if (b[i + 1] == m) return i;
        if (b[i + 1] == 0xDA) return std::string::npos;
        i += 2 + (b[i + 2] << 8 | b[i + 3]);
    }
    return std::string::npos;
}

const char *const kMade[] = {"cj444.jpg", "cj420.jpg", "cj444r.jpg", "cj420r.jpg", "ff444.jpg", "ff420.jpg"};

TEST(Jpeg, FilesOfCjpegAndFfmpegPassBothAnalyses) {
    for (const char *name : kMade) {
        SCOPED_TRACE(name);
        Jpeg a(file(name));
        ASSERT_NE(a.j, nullptr);
        EXPECT_EQ(image_jpeg_analyseTag_base(a.j), 1);
        EXPECT_EQ(image_jpeg_analyseTag_base(a.j), 2);
        EXPECT_EQ(a.j->width, 100);
        EXPECT_EQ(a.j->height, 70);
        EXPECT_EQ(a.j->bitCount, 24);
        const bool sub = strstr(name, "420") != nullptr;
        const uint8_t *sp = a.j->sampling;
        if (sub) {
            EXPECT_TRUE(sp[0] == 2 && sp[1] == 2 && sp[3] == 1 && sp[4] == 1 && sp[6] == 1 && sp[7] == 1);
        } else {  // ffmpeg writes 1x2 for every component, cjpeg 1x1
            EXPECT_TRUE(sp[0] == sp[3] && sp[1] == sp[4] && sp[0] == sp[6] && sp[1] == sp[7]);
        }
        EXPECT_EQ(a.j->paddedWidth, (100 + 8 * sp[0] - 1) / (8 * sp[0]) * (8 * sp[0]));
        EXPECT_EQ(a.j->paddedHeight, (70 + 8 * sp[1] - 1) / (8 * sp[1]) * (8 * sp[1]));
        EXPECT_EQ(a.j->restartInterval, strchr(name, 'r') != nullptr ? (sub ? 2 : 13) : 0);
        ASSERT_NE(a.j->dqtSegment, nullptr);
        EXPECT_EQ(a.j->dqtSegment[1], 0xDB);
        EXPECT_EQ(a.j->scanData[-14 + 1], 0xDA) << "scan data follows the 14-byte SOS segment";
        EXPECT_EQ(image_jpeg_analyseTag_all(a.j), 1);
        EXPECT_NE(a.j->quantTables[0], nullptr);
        EXPECT_NE(a.j->dcTables[0], nullptr);
        EXPECT_NE(a.j->acTables[1], nullptr);
        // Natural order, scaled by s(u) s(v): the DC entry is the first stored value.
        const Bytes b = file(name);
        EXPECT_FLOAT_EQ(a.j->quantTables[0][0], static_cast<float>(b[segment(b, 0xDB) + 5]));
        EXPECT_EQ(a.j->jfifVersion >> 8, 1);
    }
}

TEST(Jpeg, DecodingEqualsDjpegPixelForPixel) {
    for (const char *name : kMade) {
        SCOPED_TRACE(name);
        const std::string path = Files::dir + "/" + name;
        ASSERT_EQ(system(("djpeg -ppm " + path + " > " + path + ".ppm").c_str()), 0);
        ASSERT_EQ(system(("djpeg -grayscale -pnm " + path + " > " + path + ".pgm").c_str()), 0);
        int w = 0, h = 0;
        const Bytes want = ppm_pixels(kxclip::read_file(path + ".ppm"), &w, &h);
        ASSERT_EQ(w, 100);
        Jpeg a(file(name));
        image_dib *rgb = image_jpeg_convert_to_dib__IO(a.j, nullptr, IMAGE_DIB_RGB, 0, 0, 70, 0);
        ASSERT_NE(rgb, nullptr);
        EXPECT_EQ(Bytes(rgb->data, rgb->data + rgb->dataLenth), want);
        image_dib_delete__OI(&rgb);
        // The luma plane of the planar decoding is djpeg's greyscale output.
        Bytes grey = kxclip::read_file(path + ".pgm");
        grey.erase(grey.begin(), grey.end() - 100 * 70);
        image_dib *ycc = image_jpeg_convert_to_dib__IO(a.j, nullptr, 0, 0, 0, 0, 0);
        ASSERT_NE(ycc, nullptr);
        EXPECT_EQ(ycc->format, IMAGE_DIB_YCbCr);
        EXPECT_EQ(Bytes(ycc->data, ycc->data + 100 * 70), grey);
        image_dib_delete__OI(&ycc);
    }
}

TEST(Jpeg, DibSizesAndHeights) {
    Jpeg a(file("cj420.jpg"));
    image_dib *tall = image_jpeg_convert_to_dib__IO(a.j, nullptr, IMAGE_DIB_YCbCr, 0, 5, 0, 0);
    image_dib *exact = image_jpeg_convert_to_dib__IO(a.j, nullptr, IMAGE_DIB_YCbCr, 0, 0, 0, 0);
    ASSERT_NE(tall, nullptr);
    ASSERT_NE(exact, nullptr);
    EXPECT_EQ(tall->height, 75u);
    for (int p = 0; p < 3; ++p) {
        EXPECT_EQ(memcmp(tall->data + p * 100 * 75, exact->data + p * 100 * 70, 100 * 70), 0) << p;
        for (int i = 100 * 70; i < 100 * 75; ++i) ASSERT_EQ(tall->data[p * 100 * 75 + i], 0);
    }
    image_dib *strided = image_jpeg_convert_to_dib__IO(a.j, nullptr, IMAGE_DIB_Gray, 0, 0, 0, 128);
    ASSERT_NE(strided, nullptr);
    EXPECT_EQ(strided->lineBits, 128u);
    EXPECT_EQ(memcmp(strided->data + 128 * 10, exact->data + 100 * 10, 100), 0);
    EXPECT_EQ(image_jpeg_convert_to_dib__IO(a.j, nullptr, IMAGE_DIB_RGB, 0, 0, 74, 0), nullptr);
    image_dib_delete__OI(&tall);
    image_dib_delete__OI(&exact);
    image_dib_delete__OI(&strided);
}

// Over the pixels of two DIBs of one format and stride (stride padding left out).
double psnr(const image_dib *a, const image_dib *b) {
    const size_t row = a->format == IMAGE_DIB_RGB || a->format == IMAGE_DIB_BGR ? a->width * 3 : a->width;
    const size_t rows = a->format == IMAGE_DIB_YCbCr ? a->height * 3 : a->height;
    double se = 0;
    for (size_t r = 0; r < rows; ++r)
        for (size_t i = 0; i < row; ++i) {
            const double d = double(a->data[r * a->lineBits + i]) - b->data[r * b->lineBits + i];
            se += d * d;
        }
    return se == 0 ? 99 : 10 * log10(255.0 * 255.0 * double(row * rows) / se);
}

TEST(Jpeg, CompressThenDecompressKeepsTheQuality) {
    int w = 0, h = 0;
    Bytes pixels = ppm_pixels(file("src.ppm"), &w, &h);
    ASSERT_EQ(pixels.size(), size_t(w) * h * 3);
    image_dib *rgb = image_dib_new__IO(w, h, IMAGE_DIB_RGB, 0);
    memcpy(rgb->data, pixels.data(), pixels.size());
    image_dib *ycc = image_dib_new_from_dib__IO(rgb, IMAGE_DIB_YCbCr, 0);
    image_dib *grey = image_dib_new_from_dib__IO(rgb, IMAGE_DIB_Gray, 0);
    image_dib *wide = image_dib_new_from_dib__IO(rgb, IMAGE_DIB_BGR, w * 3 + 9);
    // Noise at quality 100 is the worst case for the output size.
    image_dib *noise = image_dib_new__IO(64, 8, IMAGE_DIB_RGB, 0);
    uint32_t seed = 7;
    for (size_t i = 0; i < noise->dataLenth; ++i) noise->data[i] = static_cast<uint8_t>((seed = seed * 1103515245 + 12345) >> 16);
    struct Case {
        const char *name;
        image_dib *dib;
        int quality;
        double minPsnr;
    } cases[] = {{"rgb", rgb, 90, 35}, {"ycbcr", ycc, 90, 35}, {"grey", grey, 90, 35}, {"bgr stride", wide, 90, 35},
                 {"noise", noise, 100, 30}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        image_jpeg *j = image_jpeg_new_from_dib__IO(c.dib, c.quality);
        ASSERT_NE(j, nullptr);
        EXPECT_EQ(image_jpeg_analyseTag_all(j), 1);
        image_dib *back = image_jpeg_convert_to_dib__IO(j, nullptr, c.dib->format, 0, 0, 0, c.dib->lineBits);
        ASSERT_NE(back, nullptr);
        ASSERT_EQ(back->dataLenth, c.dib->dataLenth);
        EXPECT_GT(psnr(back, c.dib), c.minPsnr);
        image_dib_delete__OI(&back);
        image_jpeg_delete__OI(&j);
    }
    for (image_dib *d : {rgb, ycc, grey, wide, noise}) image_dib_delete__OI(&d);
}

// In a fresh process (the plug-in stays loaded once bound): without the plug-in, conversions
// give null and say why while the analysis works; libkxlib's folder then provides it.
void plugin_search() {
    char dir[] = "/tmp/kxpicXXXXXX";
    int failures = 0;
    if (mkdtemp(dir) == nullptr || chdir(dir) != 0) _exit(3);
    kx::plugin::set_folder(dir);
    Jpeg a(file("cj444.jpg"));
    image_dib *dib = image_dib_new__IO(16, 16, IMAGE_DIB_RGB, 0);
    memset(dib->data, 90, dib->dataLenth);
    {
        kxtest::StdoutCapture out;
        failures += image_jpeg_convert_to_dib__IO(a.j, nullptr, 0, 0, 0, 0, 0) != nullptr;
        failures += image_jpeg_new_from_dib__IO(dib, 90) != nullptr;
        failures += image_jpeg_analyseTag_all(a.j) != 1;
        const std::string log = out.text();
        failures += log.find("Open jpeg lib failed:") == std::string::npos;
        failures += log.find("Load jpeg lib failed.") == std::string::npos;
    }
    kx::plugin::set_folder((std::string(KX_TEST_BINARY_DIR) + "/lib").c_str());
    image_dib *back = image_jpeg_convert_to_dib__IO(a.j, nullptr, 0, 0, 0, 0, 0);
    failures += back == nullptr;
    image_dib_delete__OI(&back);
    image_dib_delete__OI(&dib);
    image_jpeg_delete__OI(&a.j);
    rmdir(dir);
    // This process made its own fixture folder and leaves without the environment's tear-down.
    failures += system(("rm -rf '" + Files::dir + "'").c_str()) != 0;
    _exit(failures);
}

TEST(Jpeg, MissingPluginFailsConversionsOnlyAndIsLookedForAgain) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(plugin_search(), ::testing::ExitedWithCode(0), "");
}

TEST(Jpeg, PluginNeverWritesPastTheBuffersItIsGiven) {
    void *lib = dlopen((std::string(KX_TEST_BINARY_DIR) + "/lib/libpicpress.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    using DecompressFn = int (*)(const uint8_t *, uint32_t, uint8_t *, size_t, uint32_t *, uint32_t *, int);
    using CompressFn = int (*)(const uint8_t *, size_t, uint32_t, uint32_t, uint8_t *, size_t, int, int);
    auto decompress = reinterpret_cast<DecompressFn>(dlsym(lib, "Decompress"));
    auto compress = reinterpret_cast<CompressFn>(dlsym(lib, "Compress"));
    ASSERT_NE(decompress, nullptr);
    ASSERT_NE(compress, nullptr);
    const Bytes jpeg = file("cj420.jpg");
    uint32_t w = 0, h = 0;
    // Exactly sized heap buffers: a write past them shows under AddressSanitizer.
    std::vector<uint8_t> small(100 * 70 * 3 - 1), exact(100 * 70 * 3);
    EXPECT_EQ(decompress(jpeg.data(), static_cast<uint32_t>(jpeg.size()), small.data(), small.size(), &w, &h, 1), -3);
    EXPECT_EQ(w, 100u);
    EXPECT_EQ(h, 70u);
    EXPECT_EQ(decompress(jpeg.data(), static_cast<uint32_t>(jpeg.size()), exact.data(), exact.size(), &w, &h, 3), 0);
    EXPECT_EQ(decompress(jpeg.data(), static_cast<uint32_t>(jpeg.size() / 2), exact.data(), exact.size(), &w, &h, 1),
              0) << "a cut scan decodes with libjpeg's fill";
    // Too little room for the compressed picture: a failure, not an overrun.
    std::vector<uint8_t> out(600);
    EXPECT_LE(compress(exact.data(), exact.size(), 100, 70, out.data(), out.size(), 100, 3), 0);
    EXPECT_LE(compress(exact.data(), exact.size() - 1, 100, 70, out.data(), out.size(), 90, 1), 0);
    dlclose(lib);
}

TEST(Jpeg, TrimmingAtTheLastEndMarker) {
    Bytes b = file("cj444.jpg");
    const size_t n = b.size();
    Bytes tail = b;
    tail.insert(tail.end(), {0x12, 0xFF, 0x00, 0xD9, 0x55});
    Jpeg a(tail);
    ASSERT_NE(a.j, nullptr);
    EXPECT_EQ(a.j->length, n);
    EXPECT_EQ(Bytes(a.j->data, a.j->data + a.j->length), b);
    Bytes noEnd(b.begin(), b.end() - 2);
    noEnd[10] = 0;
    Bytes notJpeg = b;
    notJpeg[1] = 0xD9;
    for (const Bytes &bad : {noEnd, notJpeg, Bytes(b.begin(), b.begin() + 19)}) EXPECT_EQ(Jpeg(bad).j, nullptr);
    Bytes tiny = {0xFF, 0xD8, 0xFF, 0xD9};
    tiny.resize(30, 0);
    EXPECT_EQ(Jpeg(tiny).j, nullptr) << "FF D9 before byte 20 is not an end";
}

// A file with one SOF0 byte changed, or a segment inserted in front of the DQT.
Bytes patched(const char *name, uint8_t marker, size_t offset, uint8_t value) {
    Bytes b = file(name);
    b[segment(b, marker) + offset] = value;
    return b;
}
Bytes inserted(const char *name, const Bytes &seg) {
    Bytes b = file(name);
    b.insert(b.begin() + segment(b, 0xDB), seg.begin(), seg.end());
    return b;
}

TEST(Jpeg, RefusedAndAcceptedStructures) {
    const Bytes app1 = {0xFF, 0xE1, 0x00, 0x08, 'E', 'x', 'i', 'f', 0, 0};
    Bytes twoApp1 = inserted("cj444.jpg", app1);
    twoApp1.insert(twoApp1.begin() + segment(twoApp1, 0xDB), app1.begin(), app1.end());
    struct Case {
        const char *name;
        Bytes data;
        int base, all;
        const char *record;
    } cases[] = {
        {"progressive: no SOF0", file("progressive.jpg"), -1, -1, "Error,SOF0(FFC0) not fount."},
        {"greyscale", file("grey.jpg"), -1, -1, "Error,only 24 bit count supported."},
        {"two APP1", twoApp1, 1, 1, "Waring,find second FFE1."},
        {"Cb 2x1", patched("cj444.jpg", 0xC0, 14, 0x21), -1, -1, "Error,CbH=2,CbV=1,CrH=1,CrV=1,YH=1,YV=1,."},
        {"sampling factor 0", patched("cj444.jpg", 0xC0, 11, 0x01), -1, -1, "Error,invalid sampling factors"},
        {"quantisation table index 4", patched("cj444.jpg", 0xC0, 12, 4), -1, -1, "index=4 not fount"},
        {"component ids 2,3,4", patched("cj444.jpg", 0xC0, 10, 4), -1, -1, "Error,only YCbCr format supported"},
        {"12-bit precision", patched("cj444.jpg", 0xC0, 4, 12), -1, -1, "only 8 bit precision"},
        {"DQT of 16-bit values", patched("cj444.jpg", 0xDB, 4, 0x10), 1, -1, "16 bit quantization"},
        {"DQT index 5", patched("cj444.jpg", 0xDB, 4, 0x05), 1, -1, "invalid QT index=5"},
        {"DHT count overruns the segment", patched("cj444.jpg", 0xC4, 5 + 15, 200), 1, -1, "invalid Hiffman"},
        {"DHT beyond the code space", patched("cj444.jpg", 0xC4, 5 + 1, 5), 1, -1, "invalid Hiffman"},
        {"DHT index 4", patched("cj444.jpg", 0xC4, 4, 0x04), 1, -1, "invalid Hiffman"},
        {"DRI of length 5", inserted("cj444.jpg", {0xFF, 0xDD, 0x00, 0x05, 0, 1, 0}), -1, -1, "invalid DRT Lenth"},
        {"segment longer than the file", inserted("cj444.jpg", {0xFF, 0xFE, 0xFF, 0xFF, 'x'}), -1, -1,
         "invalid segment lenth"},
        {"segment length below 2", inserted("cj444.jpg", {0xFF, 0xFE, 0x00, 0x01}), -1, -1, "invalid segment lenth"},
        {"fill bytes and a restart marker", inserted("cj444.jpg", {0xFF, 0xFF, 0xFF, 0xD3}), 1, 1, "unknown flag"},
        {"garbage instead of a marker", inserted("cj444.jpg", {0x00, 0x11}), -1, -1, "Error,no flag."},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Jpeg a(c.data);
        ASSERT_NE(a.j, nullptr);
        kxtest::StdoutCapture out;
        EXPECT_EQ(image_jpeg_analyseTag_base(a.j), c.base);
        EXPECT_EQ(image_jpeg_analyseTag_all(a.j), c.all);
        if (c.all < 0) {
            EXPECT_EQ(a.j->bitCount, 0);
        }
        std::string log = out.text();
        out.restore();
        EXPECT_NE(log.find(c.record), std::string::npos) << kxtest::strip_colours(log);
    }
    // The second APP1 replaces the first.
    Jpeg a(twoApp1);
    ASSERT_EQ(image_jpeg_analyseTag_base(a.j), 1);
    EXPECT_EQ(a.j->appSegments[1], a.j->data + segment(twoApp1, 0xDB) - app1.size());
}

// An EBML document whose serialised form is n bytes long, and that form.
kx_Ebml *document(size_t n, Bytes *bytes) {
    for (size_t payload = n;;) {
        kx_Ebml *doc = kx_Ebml_new__IO(KX_EBML_UTF8, 0);
        kx_EbmlNode *node = kx_Ebml_node_addChild(doc, nullptr, "snapshot", KX_EBML_TYPE_BYTES);
        Bytes data(payload);
        for (size_t i = 0; i < payload; ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 9));
        EXPECT_EQ(kx_Ebml_node_data_set(node, static_cast<uint32_t>(payload), data.data()), 1);
        kx_String *s = kx_Ebml_to_String__IO(doc, 0, 0, nullptr);
        EXPECT_NE(s, nullptr);
        if (s == nullptr) return doc;
        bytes->assign(s->buffer, s->buffer + s->lenth);
        kx_String_delete__OI(s);
        if (bytes->size() == n) return doc;
        kx_Ebml_delete__OI(doc);
        if (bytes->size() < n || payload < bytes->size() - n) return nullptr;
        payload -= bytes->size() - n;
    }
}

Bytes serialised(kx_Ebml *doc) {
    kx_String *s = doc ? kx_Ebml_to_String__IO(doc, 0, 0, nullptr) : nullptr;
    Bytes b = s ? Bytes(s->buffer, s->buffer + s->lenth) : Bytes();
    kx_String_delete__OI(s);
    return b;
}

// What image_jpeg_out_with_ebml writes for the file original and doc.
Bytes with_document(const Bytes &original, kx_Ebml *doc) {
    Jpeg a(original);
    FILE *f = tmpfile();
    EXPECT_EQ(image_jpeg_out_with_ebml(a.j, doc, f), 1);
    const std::string written = kxtest::read_stream(f);
    fclose(f);
    return Bytes(written.begin(), written.end());
}

TEST(JpegDocument, DocumentOf70000BytesTakesTwoSegmentsAndComesBack) {
    const Bytes original = file("ff420.jpg");  // carries ffmpeg's own COM segment, which stays
    Bytes docBytes;
    kx_Ebml *doc = document(70000, &docBytes);
    ASSERT_NE(doc, nullptr);
    ASSERT_EQ(docBytes.size(), 70000u);
    const Bytes out = with_document(original, doc);
    kx_Ebml_delete__OI(doc);
    Jpeg a(out);
    ASSERT_EQ(image_jpeg_analyseTag_base(a.j), 1);
    std::vector<std::pair<uint16_t, uint16_t>> chain;  // (sequence, payload)
    for (uint16_t k = 0; k < a.j->commentCount; ++k) {
        const image_jpeg_comment &c = a.j->comments[k];
        if (kx::jpeg::is_chain_segment(c.segment, c.length))
            chain.emplace_back(c.segment[8] | c.segment[9] << 8, c.length - 8);
    }
    EXPECT_EQ(chain, (std::vector<std::pair<uint16_t, uint16_t>>{{0, 65527}, {1, 4473}}));
    EXPECT_EQ(a.j->comments[a.j->commentCount - 1].segment + 2 + 4473 + 8, a.j->dqtSegment);
    kx_Ebml *back = image_jpeg_get_ebml__IO(a.j);
    ASSERT_NE(back, nullptr);
    EXPECT_EQ(serialised(back), docBytes);
    kx_Ebml_delete__OI(back);
    // Without documents: the file as it was, byte for byte, as a copy, a stream and a file.
    image_jpeg *plain = image_jpeg_new_from_jpeg_without_ebml__IO(a.j);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(Bytes(plain->data, plain->data + plain->length), original);
    image_jpeg_delete__OI(&plain);
    const std::string path = Files::dir + "/without.jpg";
    ASSERT_EQ(image_jpeg_save_to_file_without_ebml(a.j, path.c_str()), 1);
    EXPECT_EQ(kxclip::read_file(path), original);
    EXPECT_EQ(image_jpeg_save_to_file_without_ebml(a.j, "/nonexistent/dir/x.jpg"), -1);
    // A file without documents has none to give and passes through unchanged.
    Jpeg none(original);
    EXPECT_EQ(image_jpeg_get_ebml__IO(none.j), nullptr);
    FILE *f = tmpfile();
    ASSERT_EQ(image_jpeg_out_without_ebml(none.j, f), 1);
    const std::string same = kxtest::read_stream(f);
    fclose(f);
    EXPECT_EQ(Bytes(same.begin(), same.end()), original);
}

TEST(JpegDocument, InconsistentChainsGiveNothing) {
    const Bytes original = file("cj444.jpg");
    Bytes docBytes;
    kx_Ebml *doc = document(70000, &docBytes);
    ASSERT_NE(doc, nullptr);
    const Bytes good = with_document(original, doc);
    const size_t first = segment(good, 0xFE);
    const size_t second = first + 2 + 65535;
    ASSERT_EQ(good[second + 1], 0xFE);
    Bytes claimsMore = good;  // the document's length field says more than the chain carries
    const int vintBytes = __builtin_ctz(claimsMore[first + 10 + 4]) + 1;
    claimsMore[first + 10 + 4 + vintBytes - 1] += 1;
    Bytes gap = good;  // second piece numbered 2
    gap[second + 8] = 2;
    Bytes noFirst = good;  // chain starting at 1
    noFirst[first + 8] = 1;
    noFirst[second + 8] = 2;
    Bytes dropped = good;  // second piece missing
    dropped.erase(dropped.begin() + second, dropped.begin() + second + 2 + 4481);
    const Bytes twice = with_document(good, doc);  // writing again keeps one document only
    kx_Ebml_delete__OI(doc);
    struct Case {
        const char *name;
        Bytes data;
        bool found;
        const char *record;
    } cases[] = {
        {"claims more than it carries", claimsMore, false, "Data has damaged."},
        {"gap in the numbers", gap, false, "Error thisLen=65527/70000,2/1."},
        {"no first piece", noFirst, false, nullptr},
        {"second piece missing", dropped, false, "Data has damaged."},
        {"written twice", twice, true, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        Jpeg a(c.data);
        kxtest::StdoutCapture out;
        kx_Ebml *back = image_jpeg_get_ebml__IO(a.j);
        EXPECT_EQ(back != nullptr, c.found);
        if (back) {
            EXPECT_EQ(serialised(back), docBytes);
        }
        kx_Ebml_delete__OI(back);
        if (c.record) {
            EXPECT_NE(out.text().find(c.record), std::string::npos);
        }
    }
    EXPECT_EQ(twice.size(), good.size());
}

TEST(Jpeg, SaveToFile) {
    Jpeg a(file("cj444.jpg"));
    const std::string path = Files::dir + "/saved.jpg";
    EXPECT_EQ(image_jpeg_save_to_file(a.j, path.c_str()), 1);
    EXPECT_EQ(kxclip::read_file(path), file("cj444.jpg"));
    EXPECT_EQ(image_jpeg_save_to_file(a.j, "/nonexistent/dir/x.jpg"), -1);
    image_jpeg *fromFile = image_jpeg_new_from_file__IO(path.c_str());
    ASSERT_NE(fromFile, nullptr);
    EXPECT_EQ(fromFile->length, a.j->length);
    image_jpeg_delete__OI(&fromFile);
    EXPECT_EQ(fromFile, nullptr);
    EXPECT_EQ(image_jpeg_new_from_file__IO("/nonexistent.jpg"), nullptr);
}

}  // namespace

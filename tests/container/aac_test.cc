// AAC objects and the ADTS reader: a stream written by ffmpeg reads as the frames ffprobe
// lists, at 44100 Hz with its frame rate and times; the CRC-protected form of the same stream
// gives the same payloads; malformed headers and cut files end the list where they are.
#include "kx/aac.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kx/objectlist.h"
#include "tests/support/stdout_capture.hpp"

namespace {

using Capture = kxtest::CaptureShownOnFailure;

std::string dir() {
    static std::string d = [] {
        char t[] = "/tmp/kxaacXXXXXX";
        return std::string(mkdtemp(t));
    }();
    return d;
}

std::string read_file(const std::string &p) {
    std::ifstream f(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), {});
}

void write_file(const std::string &p, const std::string &s) { std::ofstream(p, std::ios::binary) << s; }

// One second of a stereo tone at 44100 Hz as ADTS, and ffprobe's packet sizes (headers included).
struct Clip {
    std::string path = dir() + "/tone.aac";
    std::vector<size_t> sizes;
    Clip() {
        std::string cmd = "timeout 60 ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=44100:duration=1 "
                          "-ac 2 -c:a aac -b:a 96k -f adts " + path;
        if (system(cmd.c_str()) != 0) return;
        FILE *p = popen(("timeout 60 ffprobe -v error -show_entries packet=size -of csv=p=0 " + path).c_str(), "r");
        if (!p) return;
        unsigned long n;
        while (fscanf(p, "%lu", &n) == 1) sizes.push_back(n);
        pclose(p);
    }
};

const Clip &clip() {
    static Clip c;
    return c;
}

std::vector<audio_aac_object *> objects(kx_ObjectList *l) {
    std::vector<audio_aac_object *> v;
    for (uint32_t i = 0; l && i < l->count; ++i) v.push_back(static_cast<audio_aac_object *>(l->array[l->start + i]));
    return v;
}

void release(kx_ObjectList *l) {
    for (audio_aac_object *o : objects(l)) kx_Object_delete__OI(&o->object);
    if (l) kx_ObjectList_delete__OI(l);
}

// The same stream with a (dummy) CRC after every header: protection_absent 0, length + 2.
std::string with_crc(const std::string &adts) {
    std::string out;
    size_t pos = 0;
    while (pos + 7 <= adts.size()) {
        auto b = reinterpret_cast<const uint8_t *>(adts.data() + pos);
        size_t len = ((b[3] & 3u) << 11) | (b[4] << 3) | (b[5] >> 5);
        std::string h = adts.substr(pos, 7);
        size_t crcLen = len + 2;
        h[1] = static_cast<char>(h[1] & ~1);
        h[3] = static_cast<char>((h[3] & ~3) | ((crcLen >> 11) & 3));
        h[4] = static_cast<char>((crcLen >> 3) & 0xFF);
        h[5] = static_cast<char>((h[5] & 0x1F) | ((crcLen & 7) << 5));
        out += h + "\xAB\xCD" + adts.substr(pos + 7, len - 7);
        pos += len;
    }
    return out;
}

TEST(Aac, ReadsTheFramesFfmpegWrote) {
    Capture cap;
    const Clip &c = clip();
    ASSERT_FALSE(c.sizes.empty()) << "ffmpeg/ffprobe did not make the clip";
    kx_ObjectList *l = audio_aac_object_get_from_file__IO(c.path.c_str(), 7, 100, 10.0, 2.0);
    std::vector<audio_aac_object *> v = objects(l);
    ASSERT_EQ(v.size(), c.sizes.size());
    for (size_t i = 0; i < v.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(v[i]->dataLenth, c.sizes[i] - 7);
        EXPECT_EQ(v[i]->frameIndex, 100 + i);
        EXPECT_EQ(v[i]->classIndex, 7);
        EXPECT_EQ(v[i]->sampleRate, 44100u);
        EXPECT_EQ(v[i]->frameRate, 43.06640625);
        EXPECT_EQ(v[i]->config, (2 << 4) | 2);  // stereo, AAC LC
        EXPECT_DOUBLE_EQ(v[i]->streamTime, 2.0 + i * 1024.0 / 44100);
        EXPECT_DOUBLE_EQ(v[i]->arrivalTime, 10.0 + i * 1024.0 / 44100);
    }
    // The payload is what follows each 7-byte header.
    std::string bytes = read_file(c.path);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(v[1]->data), v[1]->dataLenth),
              bytes.substr(c.sizes[0] + 7, c.sizes[1] - 7));

    // The CRC-protected form reads the same payloads.
    std::string crcPath = dir() + "/crc.aac";
    write_file(crcPath, with_crc(bytes));
    kx_ObjectList *l2 = audio_aac_object_get_from_file__IO(crcPath.c_str(), 7, 100, 10.0, 2.0);
    std::vector<audio_aac_object *> w = objects(l2);
    ASSERT_EQ(w.size(), v.size());
    for (size_t i = 0; i < v.size(); ++i) {
        ASSERT_EQ(w[i]->dataLenth, v[i]->dataLenth);
        EXPECT_EQ(memcmp(w[i]->data, v[i]->data, v[i]->dataLenth), 0) << i;
    }
    release(l);
    release(l2);
}

TEST(Aac, MalformedStreamsEndTheListWhereTheyAre) {
    Capture cap;
    const Clip &c = clip();
    ASSERT_GE(c.sizes.size(), 3u);
    const std::string bytes = read_file(c.path);
    const std::string two = bytes.substr(0, c.sizes[0] + c.sizes[1]);
    std::string badProfile = bytes.substr(c.sizes[0] + c.sizes[1], 7);
    badProfile[2] = static_cast<char>(badProfile[2] | 0xC0);  // profile 4
    std::string badRate = bytes.substr(c.sizes[0] + c.sizes[1], 7);
    badRate[2] = static_cast<char>(badRate[2] | 0x3C);  // index 15
    std::string tooShort = bytes.substr(c.sizes[0] + c.sizes[1], 7);
    tooShort[3] = static_cast<char>(tooShort[3] & ~3);
    tooShort[4] = 0;
    tooShort[5] = static_cast<char>((tooShort[5] & 0x1F) | (5 << 5));  // frame length 5 < 7
    struct Case {
        const char *name;
        std::string file;
        size_t frames;
        const char *record;
    } cases[] = {
        {"empty", "", 0, nullptr},
        {"no sync word", "\xFF\xE1" + bytes.substr(2), 0, "Invalid head:[ff e1"},
        {"other profile", two + badProfile + "payload", 2, "Invalid profile=4,"},
        {"rate index above 12", two + badRate + "payload", 2, "Invalid sampleRate=15,"},
        {"frame shorter than its header", two + tooShort + std::string(64, 'x'), 2, "Invalid frameLength=5,"},
        {"cut payload", bytes.substr(0, c.sizes[0] + c.sizes[1] + 9), 2, "unexpected end of file"},
        {"cut header", bytes.substr(0, c.sizes[0] + 3), 1, "unexpected end of file"},
    };
    for (const Case &k : cases) {
        SCOPED_TRACE(k.name);
        std::string p = dir() + "/case.aac";
        write_file(p, k.file);
        kx_ObjectList *l = audio_aac_object_get_from_file__IO(p.c_str(), 0, 0, 0, 0);
        EXPECT_EQ(objects(l).size(), k.frames);
        if (k.frames == 0) {
            EXPECT_EQ(l, nullptr);
        }
        if (k.record) {
            EXPECT_NE(cap.text().find(k.record), std::string::npos);
        }
        release(l);
    }
    EXPECT_EQ(audio_aac_object_get_from_file__IO((dir() + "/missing.aac").c_str(), 0, 0, 0, 0), nullptr);
    EXPECT_NE(cap.text().find("Open the file:\""), std::string::npos);
}

TEST(Aac, ObjectFieldsAndSetters) {
    const unsigned char raw[3] = {1, 2, 3};
    audio_aac_object *o = audio_aac_object_new_with_data__IO(3, 9, 46.875f, 0x12, 0x0A, 48000, 1.5, 2.5, 3, raw);
    ASSERT_NE(o, nullptr);
    EXPECT_EQ(o->object.type, KX_OBJECT_TYPE_AAC);
    EXPECT_EQ(o->config, (2 << 4) | 2);  // low 4 bits of the type, low 3 bits of the channels
    EXPECT_EQ(o->frameRate, 46.875);
    EXPECT_EQ(memcmp(o->data, raw, 3), 0);
    o->config |= 0x80;
    const unsigned char other[3] = {7, 8, 9};
    audio_aac_object_set_data(o, 4, 10, 43.0f, 5, 1, 44100, 3.0, 4.0, other);
    EXPECT_EQ(o->config, 0x80 | (1 << 4) | 5);  // bit 7 kept
    EXPECT_EQ(o->frameIndex, 10u);
    EXPECT_EQ(memcmp(o->data, other, 3), 0);
    kx_Object_delete__OI(&o->object);
    EXPECT_EQ(audio_aac_object_new__IO(UINT32_MAX), nullptr);  // the size would not fit
}

}  // namespace

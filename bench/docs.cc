// Document benchmark: parse and serialise large documents and print MB/s, with an anchor
// parser where there is one, and the linearity of each parser (10 MB against 1 MB).
//
//   bench_docs [--mb 10] [--runs 5]
//
// One function per document kind; each prints its own lines.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <string>

#include <rapidjson/document.h>

#include "kx/ebml.h"
#include "kx/json.h"
#include "kx/string.h"

namespace {

struct Options {
    size_t mb = 10;
    int runs = 5;
};

double seconds() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

// Best time of runs calls of f (each call timed alone); after runs each call's
// clean-up, untimed.
double best(int runs, const std::function<void()> &f, const std::function<void()> &after = [] {}) {
    double b = 1e30;
    for (int i = 0; i < runs; ++i) {
        double t0 = seconds();
        f();
        b = std::min(b, seconds() - t0);
        after();
    }
    return b;
}

double mbps(size_t bytes, double s) { return static_cast<double>(bytes) / (1 << 20) / s; }

// ------------------------------------------------------------------ JSON

// A configuration-like text of about bytes bytes: records with texts, numbers, flags,
// arrays of texts and of objects, nested a few levels.
std::string jsonText(size_t bytes) {
    std::string s = "{\"service\":\"bench\",\"items\":[";
    for (size_t i = 0; s.size() < bytes; ++i) {
        std::string n = std::to_string(i);
        if (i) s += ',';
        s += "{\"id\":\"" + n + "\",\"name\":\"camera-" + n + "\",\"url\":\"rtsp://10.0.0." + std::to_string(i % 250) +
             ":554/stream" + n + "\",\"enabled\":true,\"port\":" + std::to_string(554 + i % 1000) +
             ",\"tags\":[\"lobby\",\"night\",\"h264\"],\"profile\":{\"width\":\"1920\",\"height\":\"1080\","
             "\"rate\":\"25\",\"codec\":{\"name\":\"h264\",\"level\":\"4.1\"}},\"zones\":[{\"x\":\"1\",\"y\":\"2\"},{\"x\":\"3\","
             "\"y\":\"4\"}]}";
    }
    s += "]}";
    return s;
}

struct JsonFigures {
    double parse, release, write, anchor;
    size_t out;
};

// Parse: from the text to a walkable tree (load and analyse), the release timed apart;
// the anchor's DOM parse is timed the same way.
JsonFigures jsonRun(const std::string &text, int runs) {
    JsonFigures f{};
    kx_Json *d = nullptr;
    f.parse = best(
        runs,
        [&] {
            d = kx_Json_new_from_string_buffer__IO(text.size(), text.data());
            if (d == nullptr || kx_Json_analyzeAll_fast(d, nullptr) != 0) {
                fprintf(stderr, "JSON parse failed\n");
                exit(1);
            }
        },
        [&] { kx_Json_delete__OI(d); });
    auto parse = [&] {
        d = kx_Json_new_from_string_buffer__IO(text.size(), text.data());
        kx_Json_analyzeAll_fast(d, nullptr);
    };
    parse();
    f.release = best(
        runs,
        [&] { kx_Json_delete__OI(d); }, parse);
    f.write = best(runs, [&] {
        char *t = kx_Json_to_string__IO(d, nullptr, nullptr, 0);
        if (t == nullptr) exit(1);
        f.out = strlen(t);
        free(t);
    });
    kx_Json_delete__OI(d);
    rapidjson::Document *doc = nullptr;
    f.anchor = best(
        runs,
        [&] {
            doc = new rapidjson::Document;
            doc->Parse(text.c_str());
            if (doc->HasParseError()) {
                fprintf(stderr, "RapidJSON parse failed\n");
                exit(1);
            }
        },
        [&] { delete doc; });
    return f;
}

void benchJson(const Options &o) {
    std::string big = jsonText(o.mb << 20), small = jsonText((o.mb << 20) / 10);
    JsonFigures b = jsonRun(big, o.runs), s = jsonRun(small, o.runs);
    printf("json   %5.1f MB: parse %7.1f MB/s (%.1f ms), serialise %7.1f MB/s (%.1f ms), release %.1f ms\n",
           big.size() / 1048576.0, mbps(big.size(), b.parse), b.parse * 1e3, mbps(b.out, b.write), b.write * 1e3,
           b.release * 1e3);
    printf("json   RapidJSON DOM parse %7.1f MB/s (%.1f ms); kx_Json / RapidJSON time: %.2fx (target <= 2x)\n",
           mbps(big.size(), b.anchor), b.anchor * 1e3, b.parse / b.anchor);
    printf("json   linearity: parse %.1f MB / %.1f MB costs %.2fx, serialise %.2fx (target <= 12x); RapidJSON %.2fx\n",
           big.size() / 1048576.0, small.size() / 1048576.0, b.parse / s.parse, b.write / s.write,
           b.anchor / s.anchor);
}

// ------------------------------------------------------------------ EBML

// Bytes of an EBML document of about bytes bytes: camera records with texts, integers,
// floats, properties and nested containers.
std::string ebmlBytes(size_t bytes, const char *password) {
    kx_Ebml *d = kx_Ebml_new__IO(KX_EBML_UTF8, 0);
    kx_EbmlNode *items = kx_Ebml_node_addChild(d, nullptr, "items", KX_EBML_TYPE_CONTAINER);
    size_t approx = 0;
    for (size_t i = 0; approx < bytes; ++i) {
        std::string n = std::to_string(i);
        kx_EbmlNode *cam = kx_Ebml_node_addChild_with_a_property(d, items, "camera", 1, "id", n.c_str());
        kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d, cam, "name", 2), ("camera-" + n).c_str());
        kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d, cam, "url", 2),
                                     ("rtsp://10.0.0." + std::to_string(i % 250) + ":554/stream" + n).c_str());
        kx_Ebml_node_data_set_integer(kx_Ebml_node_addChild(d, cam, "port", 4), 554 + i % 1000);
        kx_Ebml_node_data_set_double(kx_Ebml_node_addChild(d, cam, "rate", 5), 25.0);
        kx_EbmlNode *profile = kx_Ebml_node_addChild(d, cam, "profile", 1);
        kx_EbmlNode *codec = kx_Ebml_node_addChild_with_a_property(d, profile, "codec", 1, "level", "4.1");
        kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d, codec, "name", 2), "h264");
        for (const char *tag : {"lobby", "night"}) kx_Ebml_node_data_set_string(kx_Ebml_node_addChild(d, cam, "tag", 2), tag);
        approx += 172 + 2 * n.size();
    }
    kx_String *s = kx_Ebml_to_String__IO(d, 0, 0, password);
    kx_Ebml_delete__OI(d);
    if (s == nullptr) exit(1);
    std::string out(s->buffer, s->lenth);
    kx_String_delete__OI(s);
    return out;
}

struct EbmlFigures {
    double open, parse, release, write;
};

// Open: the bytes checked and copied (unscrambled) into a document, nothing parsed yet;
// parse: open and analyse everything into a walkable tree. Releases are timed apart.
EbmlFigures ebmlRun(const std::string &bytes, const char *password, int runs) {
    EbmlFigures f{};
    kx_Ebml *d = nullptr;
    auto open = [&] {
        d = kx_Ebml_new_from_String__IO(bytes.size(), bytes.data(), password);
        if (d == nullptr) exit(1);
    };
    auto parse = [&] {
        open();
        if (kx_Ebml_analyzeAll_check(d, nullptr) != 1) {
            fprintf(stderr, "EBML parse failed\n");
            exit(1);
        }
    };
    auto release = [&] { kx_Ebml_delete__OI(d); };
    f.open = best(runs, open, release);
    f.parse = best(runs, parse, release);
    parse();
    f.release = best(runs, release, parse);
    f.write = best(runs, [&] {
        kx_String *s = kx_Ebml_to_String__IO(d, 0, 0, password);
        if (s == nullptr || s->lenth != bytes.size()) exit(1);
        kx_String_delete__OI(s);
    });
    release();
    return f;
}

void benchEbml(const Options &o) {
    for (const char *password : {(const char *)nullptr, "bench-key"}) {
        std::string big = ebmlBytes(o.mb << 20, password), small = ebmlBytes((o.mb << 20) / 10, password);
        EbmlFigures b = ebmlRun(big, password, o.runs), s = ebmlRun(small, password, o.runs);
        const char *label = password ? "ebml+pw" : "ebml";
        printf("%-8s%5.1f MB: open %7.1f MB/s, parse %7.1f MB/s (%.1f ms), serialise %7.1f MB/s (%.1f ms), "
               "release %.1f ms\n",
               label, big.size() / 1048576.0, mbps(big.size(), b.open), mbps(big.size(), b.parse), b.parse * 1e3,
               mbps(big.size(), b.write), b.write * 1e3, b.release * 1e3);
        printf("%-8slinearity: parse %.1f MB / %.1f MB costs %.2fx, serialise %.2fx (target <= 12x)\n", label,
               big.size() / 1048576.0, small.size() / 1048576.0, b.parse / s.parse, b.write / s.write);
    }
}

}  // namespace

int main(int argc, char **argv) {
    Options o;
    for (int i = 1; i + 1 < argc; i += 2) {
        if (!strcmp(argv[i], "--mb")) o.mb = static_cast<size_t>(atoi(argv[i + 1]));
        if (!strcmp(argv[i], "--runs")) o.runs = atoi(argv[i + 1]);
    }
    if (o.mb < 1) o.mb = 1;
    if (o.runs < 1) o.runs = 1;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    benchJson(o);
    benchEbml(o);
    return 0;
}

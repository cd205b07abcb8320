/* Tests of the buffered code stream: bit packing most significant bit first,
 * the closing flush, the buffer's write rule, code reads across bytes, the
 * failure messages, failed closes and allocation failures. */
#include "zubf.h"

#include "szusd.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/zubf_test_XXXXXX";
        path = mkdtemp(tmpl);
    }
    std::string file(const char *name) const { return path + "/" + name; }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0) std::perror("rm");
    }
};

Bytes read_file(const std::string &path) {
    std::ifstream f(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_file(const std::string &path, const Bytes &b) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char *>(b.data()), static_cast<std::streamsize>(b.size()));
}

struct LogCapture {
    std::string path;
    explicit LogCapture(const TempDir &dir) : path(dir.file("log")) { zusdlg(path.c_str(), 7); }
    std::string text() const {
        std::ifstream f(path);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    }
    ~LogCapture() { zusdlg("/dev/null", 0); }
};

TEST(Zubf, HeaderAndFirstCodeWithAndWithoutFlush) {
    TempDir dir;
    const std::string a = dir.file("a_");
    zubfcb *s = zubfow(a.c_str(), "", "", "", 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->bufsz, 49152u);
    ASSERT_EQ(zubfpb(s, 14, 8), 1);
    ASSERT_EQ(zubfpb(s, 99, 9), 1);
    EXPECT_EQ(s->idx, 2u);
    EXPECT_EQ(s->count, 2u);
    EXPECT_EQ(s->wpos, 30); /* one bit pending */
    EXPECT_EQ(zubfcl(s, ZUBF_FLUSH), 1);
    EXPECT_EQ(read_file(a), (Bytes{0x0E, 0x31, 0x80}));

    const std::string b = dir.file("b_");
    s = zubfow(b.c_str(), "", "", "", 1);
    ASSERT_NE(s, nullptr);
    zubfpb(s, 14, 8);
    zubfpb(s, 99, 9);
    EXPECT_EQ(zubfcl(s, 0), 1);
    EXPECT_EQ(read_file(b), (Bytes{0x0E, 0x31}));
}

TEST(Zubf, PathIsJoinedFromItsParts) {
    TempDir dir;
    zubfcb *s = zubfow(dir.path.c_str(), "", "data", "txt_", 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(zubfcl(s, 0), 1);
    EXPECT_EQ(access(dir.file("data.txt_").c_str(), F_OK), 0);
}

TEST(Zubf, FullBufferIsWrittenWhenAFurtherByteArrives) {
    TempDir dir;
    const std::string p = dir.file("big");
    zubfcb *s = zubfow(p.c_str(), "", "", "", 0);
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < 49152; ++i)
        ASSERT_EQ(zubfpb(s, static_cast<std::uint16_t>(i & 0xFF), 8), 1);
    std::fflush(s->fp);
    EXPECT_EQ(read_file(p).size(), 0u);
    ASSERT_EQ(zubfpb(s, 0xAB, 8), 1);
    std::fflush(s->fp);
    EXPECT_EQ(read_file(p).size(), 49152u);
    EXPECT_EQ(s->idx, 1u);
    EXPECT_EQ(zubfcl(s, ZUBF_FLUSH), 1);
    const Bytes all = read_file(p);
    ASSERT_EQ(all.size(), 49153u);
    EXPECT_EQ(all[49151], 0xFF);
    EXPECT_EQ(all[49152], 0xAB);
}

TEST(Zubf, CodesAcrossBytesAndAReadThatFailsHalfway) {
    TempDir dir;
    const std::string p = dir.file("codes");
    write_file(p, Bytes{0x0E, 0x31, 0xC0, 0x80});
    zubfcb *s = zubfor(p.c_str(), "", "", "", 1);
    ASSERT_NE(s, nullptr);
    std::uint16_t code = 0;
    ASSERT_EQ(zubfgb(s, &code, 8), 1);
    EXPECT_EQ(code, 14);
    ASSERT_EQ(zubfgb(s, &code, 9), 1);
    EXPECT_EQ(code, 99);
    EXPECT_EQ(s->count, 3u); /* two bytes for the 9 bits */
    EXPECT_EQ(s->wpos - s->rpos, 7);
    ASSERT_EQ(zubfgb(s, &code, 9), 1);
    EXPECT_EQ(code, 258);
    EXPECT_EQ(s->count, 4u);
    /* 6 bits left; a 9-bit read fails and keeps them. */
    LogCapture log(dir);
    EXPECT_EQ(zubfgb(s, &code, 9), 0);
    EXPECT_EQ(s->wpos - s->rpos, 6);
    EXPECT_NE(log.text().find("zubfbc:  ZUSDRB( INfile ) -1  == ZUSDEO"), std::string::npos);
    EXPECT_EQ(zubfcl(s, 0), 1);
}

TEST(Zubf, ReadThatFailsAfterOneOfTwoBytesKeepsIt) {
    TempDir dir;
    const std::string p = dir.file("one");
    write_file(p, Bytes{0xA5});
    zubfcb *s = zubfor(p.c_str(), "", "", "", 1);
    ASSERT_NE(s, nullptr);
    std::uint16_t code = 0;
    EXPECT_EQ(zubfgb(s, &code, 12), 0);
    EXPECT_EQ(s->rpos, 23);
    EXPECT_EQ(s->acc >> 24, 0xA5u);
    zubfcl(s, 0);
}

TEST(Zubf, EmptyFileFailsItsFirstByteReadWithTheEndMessage) {
    TempDir dir;
    LogCapture log(dir);
    const std::string p = dir.file("empty");
    write_file(p, Bytes{});
    zubfcb *s = zubfor(p.c_str(), "", "", "", 0);
    ASSERT_NE(s, nullptr);
    unsigned char byte = 0;
    EXPECT_EQ(zubfg1(s, &byte), 0);
    EXPECT_NE(log.text().find("zubfg1:  ZUSDRB( INfile ) -1  == ZUSDEO"), std::string::npos);
    zubfcl(s, 0);
}

TEST(Zubf, OpenFailuresAreLoggedAndGiveNone) {
    TempDir dir;
    LogCapture log(dir);
    const std::string missing = dir.file("no/such/file");
    EXPECT_EQ(zubfor(missing.c_str(), "", "", "", 1), nullptr);
    EXPECT_EQ(zubfow(missing.c_str(), "", "", "", 1), nullptr);
    const std::string text = log.text();
    EXPECT_NE(text.find("zubfof:  ZUSDORB( " + missing + " ) == ZUSDFN"), std::string::npos);
    EXPECT_NE(text.find("zubfof:  ZUSDOWB( " + missing + " ) == ZUSDFN"), std::string::npos);
}

TEST(Zubf, FailedFinalWriteIsReported) {
    /* /dev/full takes the open and refuses every write. */
    zubfcb *s = zubfcr(std::fopen("/dev/full", "w"), 0, 1);
    ASSERT_NE(s, nullptr);
    zubfpb(s, 14, 8);
    zubfpb(s, 99, 9);
    EXPECT_EQ(zubfcl(s, ZUBF_FLUSH), 0);

    s = zubfcr(std::fopen("/dev/full", "w"), 0, 1);
    ASSERT_NE(s, nullptr);
    zubfpb(s, 1, 9); /* only a partial byte: the flush itself fails */
    EXPECT_EQ(zubfcl(s, ZUBF_FLUSH | ZUBF_SYNC), 0);

    /* A full buffer that cannot be written fails the put. */
    s = zubfcr(std::fopen("/dev/full", "w"), 0, 0);
    ASSERT_NE(s, nullptr);
    int ok = 1;
    for (std::uint32_t i = 0; i <= s->bufsz && ok; ++i) ok = zubfpb(s, 7, 8);
    EXPECT_EQ(ok, 0);
    EXPECT_EQ(zubfcl(s, 0), 0);
}

TEST(Zubf, SyncedCloseSucceedsOnAFile) {
    TempDir dir;
    const std::string p = dir.file("s");
    zubfcb *s = zubfow(p.c_str(), "", "", "", 1);
    ASSERT_NE(s, nullptr);
    zubfpb(s, 0x1FF, 9);
    EXPECT_EQ(zubfcl(s, ZUBF_FLUSH | ZUBF_SYNC), 1);
    EXPECT_EQ(read_file(p), (Bytes{0xFF, 0x80}));
}

TEST(Zubf, BlockPutsKeepTheSingleByteRule) {
    TempDir dir;
    const std::string p = dir.file("blk");
    zubfcb *s = zubfow(p.c_str(), "", "", "", 0);
    ASSERT_NE(s, nullptr);
    Bytes data(100000);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<unsigned char>(i * 7);
    ASSERT_EQ(zubfpn(s, data.data(), data.size()), 1);
    EXPECT_EQ(s->count, 100000u);
    EXPECT_EQ(s->idx, 100000u - 2 * 49152u); /* two full buffers written, the rest held */
    EXPECT_EQ(zubfcl(s, 0), 1);
    EXPECT_EQ(read_file(p), data);
}

void *no_memory(std::size_t) {
    return nullptr;
}

int calls;
void *fail_second(std::size_t n) {
    return ++calls == 2 ? nullptr : std::malloc(n);
}

TEST(Zubf, AllocationFailures) {
    TempDir dir;
    const std::string p = dir.file("x");
    zubfma = no_memory;
    EXPECT_EQ(zubfow(p.c_str(), "", "", "", 1), nullptr);
    zubfma = fail_second; /* the record, then a failed 49152: 24576 is taken */
    calls = 0;
    zubfcb *s = zubfow(p.c_str(), "", "", "", 1);
    zubfma = std::malloc;
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->bufsz, 24576u);
    zubfcl(s, 0);
}

}  // namespace

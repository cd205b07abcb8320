/* Tests of the buffered code stream: bit packing most significant bit first,
 * the closing flush, the buffer's write rule, code reads across bytes, the
 * failure messages, failed closes and allocation failures. */
#include "zubf.h"

#include "szusd.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using zutest::slurp;

TEST(Zubf, HeaderAndFirstCodeWithAndWithoutFlush) {
    zutest::TempDir dir("zubf");
    for (int flags : {static_cast<int>(ZUBF_FLUSH), 0}) {
        const std::string p = dir / (flags ? "a_" : "b_");
        zubfcb *s = zubfow(p.c_str(), "", "", "", 1);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(s->bufsz, 49152u);
        ASSERT_EQ(zubfpb(s, 14, 8), 1);
        ASSERT_EQ(zubfpb(s, 99, 9), 1);
        EXPECT_EQ(s->idx, 2u);
        EXPECT_EQ(s->count, 2u);
        EXPECT_EQ(s->wpos, 30); /* one bit pending */
        EXPECT_EQ(zubfcl(s, flags), 1);
        EXPECT_EQ(slurp(p), flags ? "\x0E\x31\x80" : "\x0E\x31");
    }
}

TEST(Zubf, PathIsJoinedFromItsParts) {
    zutest::TempDir dir("zubf");
    zubfcb *s = zubfow(dir.c_str(), "", "data", "txt_", 0);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(zubfcl(s, 0), 1);
    EXPECT_TRUE(zutest::exists(dir / "data.txt_"));
}

TEST(Zubf, FullBufferIsWrittenWhenAFurtherByteArrives) {
    zutest::TempDir dir("zubf");
    const std::string p = dir / "big";
    zubfcb *s = zubfow(p.c_str(), "", "", "", 0);
    ASSERT_NE(s, nullptr);
    for (int i = 0; i < 49152; ++i)
        ASSERT_EQ(zubfpb(s, static_cast<std::uint16_t>(i & 0xFF), 8), 1);
    std::fflush(s->fp);
    EXPECT_EQ(slurp(p).size(), 0u);
    ASSERT_EQ(zubfpb(s, 0xAB, 8), 1);
    std::fflush(s->fp);
    EXPECT_EQ(slurp(p).size(), 49152u);
    EXPECT_EQ(s->idx, 1u);
    EXPECT_EQ(zubfcl(s, ZUBF_FLUSH), 1);
    EXPECT_EQ(slurp(p).substr(49151), "\xFF\xAB");
}

TEST(Zubf, BlockPutsKeepTheSingleByteRule) {
    zutest::TempDir dir("zubf");
    const std::string p = dir / "blk";
    zubfcb *s = zubfow(p.c_str(), "", "", "", 0);
    ASSERT_NE(s, nullptr);
    std::string data(100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    ASSERT_EQ(zubfpn(s, reinterpret_cast<const unsigned char *>(data.data()), data.size()), 1);
    EXPECT_EQ(s->count, 100000u);
    EXPECT_EQ(s->idx, 100000u - 2 * 49152u); /* two full buffers written, the rest held */
    EXPECT_EQ(zubfcl(s, 0), 1);
    EXPECT_EQ(slurp(p), data);
}

TEST(Zubf, CodesAcrossBytesAndReadsThatFailHalfway) {
    zutest::TempDir dir("zubf");
    zutest::LogTo log(dir / "log");
    zubfcb *s = zubfor(dir.file("codes", "\x0E\x31\xC0\x80").c_str(), "", "", "", 1);
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
    EXPECT_EQ(zubfgb(s, &code, 9), 0);
    EXPECT_EQ(s->wpos - s->rpos, 6);
    EXPECT_TRUE(log.has("zubfbc:  ZUSDRB( INfile ) -1  == ZUSDEO"));
    EXPECT_EQ(zubfcl(s, 0), 1);

    /* A 12-bit read that gets one of its two bytes keeps that byte. */
    s = zubfor(dir.file("one", "\xA5").c_str(), "", "", "", 1);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(zubfgb(s, &code, 12), 0);
    EXPECT_EQ(s->rpos, 23);
    EXPECT_EQ(s->acc >> 24, 0xA5u);
    zubfcl(s, 0);

    /* An empty file fails its first byte read with the end message. */
    s = zubfor(dir.file("empty").c_str(), "", "", "", 0);
    ASSERT_NE(s, nullptr);
    unsigned char byte = 0;
    EXPECT_EQ(zubfg1(s, &byte), 0);
    EXPECT_TRUE(log.has("zubfg1:  ZUSDRB( INfile ) -1  == ZUSDEO"));
    zubfcl(s, 0);
}

TEST(Zubf, OpenFailuresAreLoggedAndGiveNone) {
    zutest::TempDir dir("zubf");
    zutest::LogTo log(dir / "log");
    const std::string missing = dir / "no/such/file";
    EXPECT_EQ(zubfor(missing.c_str(), "", "", "", 1), nullptr);
    EXPECT_EQ(zubfow(missing.c_str(), "", "", "", 1), nullptr);
    EXPECT_TRUE(log.has("zubfof:  ZUSDORB( " + missing + " ) == ZUSDFN"));
    EXPECT_TRUE(log.has("zubfof:  ZUSDOWB( " + missing + " ) == ZUSDFN"));
}

TEST(Zubf, FailedWritesAndSyncedClose) {
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

    /* On a file, a synced close succeeds. */
    zutest::TempDir dir("zubf");
    s = zubfow((dir / "s").c_str(), "", "", "", 1);
    ASSERT_NE(s, nullptr);
    zubfpb(s, 0x1FF, 9);
    EXPECT_EQ(zubfcl(s, ZUBF_FLUSH | ZUBF_SYNC), 1);
    EXPECT_EQ(slurp(dir / "s"), "\xFF\x80");
}

int calls;
void *fail_second(std::size_t n) {
    return ++calls == 2 ? nullptr : std::malloc(n);
}

TEST(Zubf, AllocationFailures) {
    zutest::TempDir dir("zubf");
    const std::string p = dir / "x";
    zubfma = [](std::size_t) -> void * { return nullptr; };
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

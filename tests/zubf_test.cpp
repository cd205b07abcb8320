/* Tests of the buffered code stream: the buffer's write rule, the failure
 * messages, failed closes and allocation failures. (The codec's tests reach
 * the rest.) */
#include "zubf.h"

#include "szusd.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using zutest::slurp;

/* Reads past the end and opens that fail leave their records; failed
 * writes and closes are reported; allocation failures. (Codes read and
 * written across bytes and volumes, the flush at the close and synced
 * closes, the codec's and the commands' tests show.) */
TEST(Zubf, FailedReadsOpensWritesClosesAndAllocations) {
    zutest::TempDir dir("zubf");
    zusdlg((dir / "log").c_str(), 1);
    zubfcb *s = zubfor(dir.file("one", "\xA5").c_str(), "", "", "", 1);
    std::uint16_t code = 0;
    unsigned char byte = 0;
    EXPECT_EQ(zubfgb(s, &code, 12), 0);
    zubfcl(s, 0);
    s = zubfor(dir.file("empty").c_str(), "", "", "", 0);
    EXPECT_EQ(zubfg1(s, &byte), 0);
    zubfcl(s, 0);
    const std::string no = dir / "no/such/file";
    EXPECT_TRUE(!zubfor(no.c_str(), "", "", "", 1) && !zubfow(no.c_str(), "", "", "", 1));
    for (const std::string &record : std::vector<std::string>{
             "zubfbc:  ZUSDRB( INfile ) -1  == ZUSDEO", "zubfg1:  ZUSDRB( INfile ) -1  == ZUSDEO",
             "zubfof:  ZUSDORB( " + no + " ) == ZUSDFN",
             "zubfof:  ZUSDOWB( " + no + " ) == ZUSDFN"})
        EXPECT_NE(slurp(dir / "log").find(record), std::string::npos) << record;
    /* /dev/full takes the open and refuses every write: of a full buffer,
     * once a further byte arrives; of a last partial byte at the close. */
    for (int bits : {8, 7}) {
        zubfcb *f = zubfcr(std::fopen("/dev/full", "w"), 0, 1);
        std::uint32_t n = 0;
        while (zubfpb(f, 1, bits) && n < 100000 && bits == 8) ++n;
        EXPECT_TRUE(f->bufsz == 49152 && n == (bits == 8 ? 49152u : 0u)) << n;
        EXPECT_EQ(zubfcl(f, ZUBF_FLUSH | ZUBF_SYNC), 0);
    }
    zubfcb *c = zubfcr(std::fopen("/dev/null", "w"), 0, 0);
    close(fileno(c->fp)); /* the file's own close fails */
    EXPECT_EQ(zubfcl(c, 0), 0);
    zubfma = [](std::size_t) -> void * { return nullptr; };
    EXPECT_EQ(zubfow((dir / "x").c_str(), "", "", "", 1), nullptr);
    /* The record, then a failed 49152: 24576 is taken. */
    zubfma = [](std::size_t n) { return n == 49152 ? nullptr : std::malloc(n); };
    s = zubfow((dir / "x").c_str(), "", "", "", 1);
    zubfma = std::malloc;
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(s->bufsz, 24576u);
    zubfcl(s, 0);
}

}  // namespace

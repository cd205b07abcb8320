// A program of another project built against an installed zu: replaces
// argv[1] by its compressed form argv[1]_ and restores that into argv[2]
// through the copy engine's split and join drivers, as zucomp and zuuncomp do.
#include <szucp.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

int main(int argc, char **argv) {
    char name[ZUSD_PATHSZ];
    if (argc != 3 || std::snprintf(name, sizeof name, "%s", argv[1]) >= int{sizeof name}) {
        std::puts("usage: consumer file restored");
        return 2;
    }
    std::uint32_t pieces = 0;
    unsigned st = zucpsp(argv[1], name, 0, 1, -1, 0, 0, 1, 0, "", "", nullptr, nullptr, nullptr,
                         nullptr, nullptr, 0, &pieces);
    if (st == ZUSD_OK && std::remove(argv[1]) != 0) st = ZUSD_SYSERR;
    if (st == ZUSD_OK) {
        st = zucpjn(name, argv[2], 0, 0, 0, 1, 0, "", "", nullptr, nullptr, nullptr, nullptr, 0, 0,
                    nullptr);
    }
    if (st != ZUSD_OK) std::printf("consumer: status %u\n", st);
    return st == ZUSD_OK ? 0 : 1;
}

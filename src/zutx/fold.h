// Private to the string library: the byte view and the letter folding that
// every comparison of the module shares.
#ifndef ZUTX_FOLD_H
#define ZUTX_FOLD_H

namespace zutx_detail {

// Characters are read as unsigned bytes.
constexpr unsigned char byte(char c) { return static_cast<unsigned char>(c); }

// Only 'A'-'Z' fold (to 'a'-'z'); every other byte, including those of 0x80
// and above, compares by its value whatever the locale.
constexpr unsigned char fold(char c) {
    const unsigned char b = byte(c);
    return b >= 'A' && b <= 'Z' ? static_cast<unsigned char>(b + 32) : b;
}

}  // namespace zutx_detail

#endif  // ZUTX_FOLD_H

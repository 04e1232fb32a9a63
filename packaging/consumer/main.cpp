// Includes every public C++ header and uses a type of the C++20 library they rely on.
#include <cstdio>
#include <span>

#include "tavi/tavi.hpp"

int main() {
    const char digits[] = "4111111111111111";
    const std::span<const char> number(digits, sizeof digits - 1);
    std::printf("%s, %zu digits\n", tavi::taviVersionString, number.size());
    return 0;
}

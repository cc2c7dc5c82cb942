#include <cstdio>

int main() {
    std::puts("orvanectl");
    return 0;
}

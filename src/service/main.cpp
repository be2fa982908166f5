// main.cpp - placeholder entry until the service host lands.
#include <cstdio>

int main() {
    std::printf("Vantrel\n");
    return 0;
}

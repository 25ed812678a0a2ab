#include <cstdio>
int main() { std::puts("ecu-sim: not built yet"); return 1; }

// The target that compiles the tests' precompiled header once for all of them (tests/CMakeLists.txt).
int main() { return 0; }

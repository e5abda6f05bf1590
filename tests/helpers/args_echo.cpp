// Test helper: writes its argument count and its arguments, NUL-separated, to the file named by
// its first argument, so that tests can see exactly what a child received.
//   kilnware_args_echo OUTPUT [ARGUMENTS...]
//   kilnware_args_echo --exit STATUS
//   kilnware_args_echo --signal NUMBER
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--exit") == 0) {
        return std::atoi(argv[2]);
    }
    if (argc == 3 && std::strcmp(argv[1], "--signal") == 0) {
        std::signal(std::atoi(argv[2]), SIG_DFL);
        std::raise(std::atoi(argv[2]));
        return 1;
    }
    if (argc < 2) {
        return 2;
    }
    std::FILE* out = std::fopen(argv[1], "wb");
    if (!out) {
        return 2;
    }
    std::string count = std::to_string(argc);
    std::fwrite(count.c_str(), 1, count.size() + 1, out);
    for (int i = 0; i < argc; ++i) {
        std::fwrite(argv[i], 1, std::strlen(argv[i]) + 1, out);
    }
    return std::fclose(out) == 0 ? 0 : 2;
}

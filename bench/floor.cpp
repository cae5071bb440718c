// The floor of a whole run: hands the command lines the utility gave the
// programming tool to system(), one after another, in the working directory,
// and does nothing else. Each update step is one such command, so no run can
// be faster than this.
#include <cstdio>
#include <cstdlib>
#include <cstring>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s COMMAND-FILE\n", argv[0]);
        return 2;
    }
    std::FILE* commands = std::fopen(argv[1], "r");
    if (commands == nullptr) {
        std::perror(argv[1]);
        return 2;
    }
    char line[1024];
    while (std::fgets(line, sizeof line, commands) != nullptr) {
        line[std::strcspn(line, "\n")] = '\0';
        if (std::system(line) == -1) return 1;
    }
    std::fclose(commands);
    return 0;
}

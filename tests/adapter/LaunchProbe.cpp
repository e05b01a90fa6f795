// Started by the launch tests: writes its arguments, one a line, to
// "arguments.txt" in its working folder, renamed into place once complete.
#include <cstdio>
#include <fstream>

int main(int argc, char** argv)
{
    {
        std::ofstream out("arguments.tmp", std::ios::binary);
        for (int i = 1; i < argc; ++i)
            out << argv[i] << '\n';
        if (!out)
            return 1;
    }
    return std::rename("arguments.tmp", "arguments.txt") == 0 ? 0 : 1;
}

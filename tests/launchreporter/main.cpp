// What the tests install as bin/PellarinApp.exe on Windows, where a shell script cannot
// be started: writes its working directory, the number of its arguments and each
// argument, one a line, to $LAUNCH_REPORT.part, then renames that to $LAUNCH_REPORT.
#include <cstdio>
#include <cstdlib>
#include <direct.h>
#include <string>

int main(int argc, char **argv)
{
    const char *report = std::getenv("LAUNCH_REPORT");
    if (!report)
        return 1;
    const std::string part = std::string(report) + ".part";
    std::FILE *out = std::fopen(part.c_str(), "wb");
    if (!out)
        return 1;
    char folder[4096];
    std::fprintf(out, "%s\n%d\n", _getcwd(folder, sizeof folder) ? folder : "", argc - 1);
    for (int i = 1; i < argc; ++i)
        std::fprintf(out, "%s\n", argv[i]);
    std::fclose(out);
    std::remove(report);
    return std::rename(part.c_str(), report) == 0 ? 0 : 1;
}

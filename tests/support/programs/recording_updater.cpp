// The updater of the self-update tests, carrying a version block: writes its
// arguments, one per line and the program itself first, to "<program>.cmdline"
// (written beside it and renamed, so the file appears complete), then exits.
#include <cstdio>
#include <fstream>
#include <string>

int main(int argc, char** argv) {
  if (argc < 1) return 2;
  const std::string target = std::string(argv[0]) + ".cmdline";
  const std::string temp = target + ".part";
  {
    std::ofstream out(temp);
    for (int i = 0; i < argc; ++i) out << argv[i] << "\n";
    if (!out) return 3;
  }
  return std::rename(temp.c_str(), target.c_str()) == 0 ? 0 : 4;
}

// The pc1.exe of the Windows process tests: waits a little before it leaves its mark, so that a
// wait that returns early misses it, then ends with the exit code that a file "exitcode" in its
// folder names (3 without one).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

int main(int argc, char**) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int code = 3;
    std::ifstream("exitcode") >> code;
    std::ofstream marker("marker", std::ios::app | std::ios::binary);
    marker << "ran " << argc - 1 << ' ' << std::filesystem::current_path().generic_string() << '\n';
    return code;
}

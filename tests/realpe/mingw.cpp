// A C++ program of MinGW-w64: its runtime DLLs libstdc++-6.dll, libgcc_s_seh-1.dll and
// libwinpthread-1.dll come with the compiler, not with Windows.
#include <iostream>
#include <thread>

int main() {
    std::thread t([] { std::cout << "hello\n"; });
    t.join();
}

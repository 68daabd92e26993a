/* app.exe as clang makes a program for the Visual C++ runtime: vcruntime140.dll and kernel32.dll. */
void __std_terminate(void);
void ExitProcess(unsigned);

int AppEntry(void) {
    __std_terminate();
    ExitProcess(0);
    return 0;
}

/* app.exe as current toolchains make it: the C runtime imported through an API set, kernel32.dll,
   and beta.dll delay-loaded. */
typedef void (*PVFV)(void);
void _initterm(PVFV*, PVFV*);
void ExitProcess(unsigned);
int beta_one(void);

/* The helper a C runtime brings for delay-loaded DLLs; the linker's stubs call it, the checks never. */
void* __stdcall __delayLoadHelper2(const void* desc, void** slot) {
    (void)desc;
    return *slot;
}

int AppEntry(void) {
    _initterm(0, 0);
    ExitProcess((unsigned)beta_one());
    return 0;
}

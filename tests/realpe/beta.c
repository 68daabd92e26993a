/* beta.dll: the lowest DLL of the real-toolchain application tree. */
int __stdcall DllEntry(void* module, unsigned reason, void* reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}
int beta_one(void) { return 1; }
int beta_two(void) { return 2; }
int beta_target(void) { return 3; }
int beta_ord(void) { return 7; }

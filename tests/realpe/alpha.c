/* alpha.dll: imports from beta.dll and forwards one entry to it. */
int beta_one(void);
int __stdcall DllEntry(void* module, unsigned reason, void* reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}
int alpha_one(void) { return beta_one() + 10; }

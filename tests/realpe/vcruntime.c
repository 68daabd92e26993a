/* A stand-in vcruntime140.dll for the system folder the checks name. */
int DllEntry(void* module, unsigned reason, void* reserved) {
    (void)module;
    (void)reason;
    (void)reserved;
    return 1;
}
void __std_terminate(void) {}

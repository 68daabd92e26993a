/* plugin.dll: a plugin of host.exe, importing from it and from beta.dll, which the host loads for itself. */
int host_api(void);
int beta_one(void);
int DllEntry(void* module, unsigned reason, void* reserved) { (void)module; (void)reason; (void)reserved; return 1; }
__declspec(dllexport) int plugin_run(void) { return host_api() + beta_one(); }

/* host.exe: a program that loads plugins; it exports host_api to them and imports beta.dll for itself. */
int beta_one(void);
__declspec(dllexport) int host_api(void) { return 5; }
int AppEntry(void) { return beta_one() + host_api(); }

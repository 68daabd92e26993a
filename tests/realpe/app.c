/* app.exe: imports two entries from each DLL, one of them by ordinal only. */
int alpha_one(void);
int alpha_fwd(void);
int beta_two(void);
int beta_ord(void);
int AppEntry(void) { return alpha_one() + alpha_fwd() + beta_two() + beta_ord(); }

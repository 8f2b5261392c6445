/* A module for another machine type (x86), built by the 32-bit compiler: a 64-bit process
   cannot load it. */
int __stdcall DllMainCRTStartup(void* module, unsigned long reason, void* reserved) {
  (void)module;
  (void)reason;
  (void)reserved;
  return 1;
}

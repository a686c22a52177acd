// The leak checker's suppressions for the window tests: the system's font
// configuration library keeps caches for the life of the process, which the
// leak checker reports although they are not ours.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

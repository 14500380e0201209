// Fontconfig keeps its configuration cache for the whole process and never frees it;
// Qt loads it for the windows under test. Tell the leak checker of sanitizer builds.
extern "C" const char* __lsan_default_suppressions();
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

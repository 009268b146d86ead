// Preloaded into the tests of the sanitizer build: libraries are never unloaded. LeakSanitizer
// reports after Mesa has unloaded its driver, and a leak inside a library that is gone names no
// library that a suppression could match (tests/lsan.supp); kept loaded, it does.
extern "C" int dlclose(void *)
{
    return 0;
}

// Cyclone DDS comes from the system, built without ThreadSanitizer: its threads hand buffers to
// one another through synchronisation the sanitizer does not see, which it reports as races.
// Reports with a frame in that library are left out; ours are all still reported.
extern "C" const char* __tsan_default_suppressions() {
  return "called_from_lib:libddsc.so\n"
         "race:libddsc.so\n";
}

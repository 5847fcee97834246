// Built into the test only under ThreadSanitizer, which reads these before main().
//
// Libraries built without it hand memory between their own threads through futexes it cannot
// see (GLib's main loop and queues, umockdev's worker thread), or set globals up lazily from two
// threads at once (libudev's hash key, used by libusb's monitor thread and by the testbed's
// uevent sender). Interceptor calls made from them are ignored; every access our own
// instrumented code makes is still checked.
extern "C" const char* __tsan_default_suppressions();

extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libudev.so.1\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libumockdev.so.0\n";
}

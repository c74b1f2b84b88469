// jemalloc's options for the commands (read by jemalloc at start-up; MALLOC_CONF still
// overrides them). Address space that is freed is given back to the system instead of kept
// for reuse, so a limit on the address space (ulimit -v) counts what is in use, as with the
// C library's allocator, and a trace too big for it stays that trace's error.
extern "C" {
extern const char* malloc_conf;
const char* malloc_conf = "retain:false";
}

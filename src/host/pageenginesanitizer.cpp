// Compiled into each program that holds the page engine, in the sanitizer
// build only (see CMakeLists.txt).
//
// Chromium, inside Qt WebEngine, deletes some of its own objects through a
// pointer to a smaller type: the address sanitizer reports a
// new-delete-type-mismatch with every frame in libQt6WebEngineCore and stops
// the office host at its first page. That check alone is left out for these
// programs; every other one stays on, and the other programs keep it too.
extern "C" const char* __asan_default_options()
{
    return "new_delete_type_mismatch=0";
}

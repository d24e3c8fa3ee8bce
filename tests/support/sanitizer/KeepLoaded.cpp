// Linked into every test of the sanitizer build: libraries stay loaded until
// the process ends. A library that Qt's plugins load and unload (the
// accessibility bridge, GTK modules, a platform theme, speech) may leave an
// allocation of its own behind; once it is unloaded, the pointers it kept in
// its own data are no longer seen and its frames have no module name, so the
// leak checker reports a leak that no suppression can name. Kept loaded, what
// such a library holds stays reachable, and a leak it really has keeps its
// library's name for `tests/lsan.supp`.
extern "C" int dlclose(void *)
{
    return 0;
}

// A shared library that loads but exports no session entry point.
extern "C" int korvo_test_not_a_session(void) { return 0; }

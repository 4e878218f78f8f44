// A library that exports no entry point of its own but depends on one that
// does (entry_provider), found beside it.
extern "C" void* RfidQelCreateSessionEx(int);
extern "C" void* korvo_test_borrowed_entry(void) {
  return reinterpret_cast<void*>(&RfidQelCreateSessionEx);
}

// Built only into the test module of the system-wide files: its system folder
// lies in the build tree.
const char* MirtalEtcDir() { return MIRTAL_TEST_ETC_DIR; }

// The library's exceptions as the tests see them: the text a call throws, and the
// six-line text a library exception carries.
#ifndef TESTS_LIBTORVAPP_EXCEPTION_TEXT_H
#define TESTS_LIBTORVAPP_EXCEPTION_TEXT_H

#include <exception>
#include <string>

// The text of the E that f throws; otherwise a text that says what happened instead.
template <class E, class F>
std::string thrownText(F f)
{
    try {
        f();
    } catch (const E &e) {
        return e.what();
    } catch (const std::exception &e) {
        return std::string("other exception: ") + e.what();
    } catch (...) {
        return "wrong exception class";
    }
    return "nothing thrown";
}

inline std::string exceptionText(const char *cls, const char *reason, const char *function, const char *file,
                                 int line)
{
    return std::string("LIBRARY: libtorvapp\nEXCEPTION: ") + cls + "\nREASON: " + reason + "\nFUNCTION: " + function +
           "\nFILE: " + file + "\nLINE: " + std::to_string(line) + "\n";
}

#endif

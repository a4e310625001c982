// Sends std::cerr into a string for the lifetime of the object.
#pragma once

#include <iostream>
#include <sstream>

class cerr_capture_t
{
public:
    cerr_capture_t() : previous(std::cerr.rdbuf(captured.rdbuf())) {}
    ~cerr_capture_t() { std::cerr.rdbuf(previous); }

    cerr_capture_t(const cerr_capture_t&) = delete;
    cerr_capture_t& operator=(const cerr_capture_t&) = delete;

    std::string text() const { return captured.str(); }

private:
    std::ostringstream captured;
    std::streambuf* previous;
};

// A fresh run state fed from a string, for driving the command language in
// unit tests.
#pragma once

#include <algorithm>
#include <memory>
#include <sstream>
#include <string>

#include "command/kova.hpp"
#include "command/tokens.hpp"

namespace kova::test {

struct Session {
    std::istringstream in;
    std::ostringstream out, err;
    std::unique_ptr<Kova> kp;
    Kova& k;
    explicit Session(std::string input = "")
        : in(std::move(input)), kp(std::make_unique<Kova>(in, out, err)), k(*kp) {}

    // What was written, without the prompt-and-echo lines of the command
    // input ("Main >  text").
    std::string messages() const {
        std::string all = out.str(), kept;
        size_t at = 0;
        while (at < all.size()) {
            size_t end = all.find('\n', at);
            if (end == std::string::npos) end = all.size() - 1;
            std::string_view ln(all.data() + at, end - at + 1);
            size_t p = ln.find(" >  ");
            bool echo = p != std::string_view::npos && p > 0 && ln[0] != ' ';
            if (!echo) kept += ln;
            at = end + 1;
        }
        return kept;
    }

    // Puts text into the line store as if getlin had just read it.
    void line(std::string_view text) {
        k.tok.line.fill(' ');
        size_t n = std::min<size_t>(text.size(), linlen);
        for (size_t i = 0; i < n; ++i) k.tok.line[i + 1] = text[i];
        int len = static_cast<int>(n);
        while (len > 0 && k.tok.line[len] == ' ') --len;
        k.tok.ilen = len;
        k.tok.ipos = 0;
    }

    // Runs f; returns true when it ended the run.
    template <class F>
    bool ends(F&& f) {
        try {
            f();
        } catch (const RunEnd&) {
            return true;
        }
        return false;
    }
};

}  // namespace kova::test

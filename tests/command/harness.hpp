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

    // What was written, up to the termination report that ends every
    // stopped run (its clock lines vary).
    std::string listing() const {
        std::string all = out.str();
        if (size_t rep = all.find("KOVA termination\n"); rep != std::string::npos &&
                                                         (rep == 0 || all[rep - 1] == '\n'))
            all.resize(rep);
        return all;
    }

    // What was written, without the prompt-and-echo lines of the command
    // input ("Main >  text") and without the termination report that ends
    // every stopped run (its clock lines vary).
    std::string messages() const {
        std::string all = listing(), kept;
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

    // Runs f; returns true when it ended the run. The exit status it ended
    // with is kept in status (-1 while the run goes on).
    int status = -1;
    template <class F>
    bool ends(F&& f) {
        try {
            f();
        } catch (const RunEnd& e) {
            status = e.status;
            return true;
        }
        return false;
    }
};

}  // namespace kova::test

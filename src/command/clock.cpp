// The clock of the run: CPU seconds and the local date and time.
#include <sys/times.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <string>

#include "command/mainloop.hpp"

namespace kova {

void kvtime(std::string& date, std::string& time, float& cpu, float& user, float& sys) {
    struct tms t;
    ::times(&t);
    double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
    if (ticks <= 0) ticks = 100.0;
    user = static_cast<float>(static_cast<double>(t.tms_utime) / ticks);
    sys = static_cast<float>(static_cast<double>(t.tms_stime) / ticks);
    cpu = user + sys;

    static const char* const months[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                           "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    std::time_t now = std::time(nullptr);
    std::tm lt{};
    ::localtime_r(&now, &lt);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%2d-%s-%02d", lt.tm_mday, months[lt.tm_mon % 12], lt.tm_year % 100);
    date = buf;
    date.resize(12, ' ');
    std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", lt.tm_hour, lt.tm_min, lt.tm_sec);
    time = buf;
    time.resize(12, ' ');
}

}  // namespace kova

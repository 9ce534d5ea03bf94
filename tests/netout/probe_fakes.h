#pragma once

// Stand-ins for the encoder, the sender, select and the wall clock, so a test
// can run netout_probe's main cycle by cycle. Every call they see is written to
// standard output as a "# ..." line, between the program's own lines.

#include <cerrno>
#include <deque>
#include <string>
#include <sys/time.h>

#include "status.h"

namespace fake {

struct SelectResult {
    int result;
    int error;  // errno when result < 0
};

struct Script {
    std::deque<SelectResult> select_results;  // then 0 for ever
    Status encoder_enable = Status::SUCCESS;
    Status encoder_disable = Status::SUCCESS;
    Status sender_enable = Status::SUCCESS;
    Status sender_disable = Status::SUCCESS;
    bool encoder_timeout = true;  // the encoder asks for an already passed deadline
    int sender_read_fd = -1;      // the sender waits to read this descriptor
    timeval clock{1000, 0};       // the wall clock seen by the program
    long clock_step_usec = 0;     // added after every reading
};

// Reset before each run.
Script& GetScript();
int SelectCalls();

}  // namespace fake

// netout_probe's main, renamed.
int netout_probe_main(int argc, char* argv[]);

// Encodes the HDMI input and sends it as UDP datagrams for a given time,
// serving the encoder and the sender from one select loop.

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/select.h>
#include <sys/time.h>
#include <unistd.h>

#include "command_vocabulary.h"
#include "diagnostics.h"
#include "encode_qualcomm.h"
#include "io_event_data.h"
#include "options.h"
#include "socket_network_datagram_out.h"

static const char* const USAGE =
    "usage: netout_probe [-h] [-s seconds_to_run] [-i ip address] [-p port] [-m max message size]\n"
    "\n"
    "This program will encode the HDMI input using the Qualcomm encoder, and write\n"
    "it out of a network datagram socket to ip address and port given for the given\n"
    "number of seconds.\n"
    "Make sure the receiving socket ('server' socket) is already listening.\n"
    "\n"
    " -h: Print the help\n"
    " -s: Seconds to run (default: 30)\n"
    " -i: IP address to write output data to (default: 127.0.0.1)\n"
    " -p: Port to write output data to (default: 3458)\n"
    " -m: Max size in bytes for sent messages (default: 3948)\n"
    "\n"
    "Example:\n"
    "     netout_probe -s 30 -i 127.0.0.1 -p 3458 -m 3948";

int main(int argc, char* argv[]) {
    // Line by line, so progress lines keep their place among the logger's lines
    // on a shared pipe and none is lost if the process dies.
    setvbuf(stdout, nullptr, _IOLBF, 0);

    puts("Get Arguments");
    int32_t seconds_to_run = 30;
    std::string ip_address = "127.0.0.1";
    int32_t port = 3458;
    int32_t max_message_size = 3948;

    int option;
    while ((option = getopt(argc, argv, "hs:i:p:m:")) != -1) {
        switch (option) {
        case 'h':
            printf("%s", USAGE);
            return 0;
        case 's':
            seconds_to_run = atoi(optarg);
            break;
        case 'i':
            ip_address = optarg;
            break;
        case 'p':
            port = atoi(optarg);
            break;
        case 'm':
            max_message_size = atoi(optarg);
            break;
        default:
            printf("%s", USAGE);
            return -1;
        }
    }

    char program_name[] = "netout_probe";
    char* const options_argv[] = {program_name, nullptr};
    Options::GetOptions().Initialize(1, options_argv, "flavor=loc.lms.k2x");

    std::shared_ptr<EncodeQualcomm> encoder = std::make_shared<EncodeQualcomm>("enc0");
    std::shared_ptr<SocketNetworkDatagramOut> socket_out =
        std::make_shared<SocketNetworkDatagramOut>("netout0", ip_address, port, max_message_size);

    puts("Connecting Components...");
    socket_out->Connect(encoder, "high_res");

    puts("Starting Components...");
    DIAG_ASSERT(encoder->SetEnabled(true) == Status::SUCCESS);
    DIAG_ASSERT(socket_out->SetEnabled(true) == Status::SUCCESS);

    puts("Encode is started and should run for specified time...");
    struct timeval start_time;
    struct timeval current_time;
    gettimeofday(&start_time, nullptr);

    int32_t elapsed_seconds;
    do {
        IOEventData io_event_data;
        encoder->SetupIOEvents(io_event_data);
        socket_out->SetupIOEvents(io_event_data);

        const int fd_max = io_event_data.GetFdMax();
        fd_set* fds_read = io_event_data.GetFdsRead();
        fd_set* fds_write = io_event_data.GetFdsWrite();
        fd_set* fds_error = io_event_data.GetFdsError();
        const bool has_timeout = io_event_data.HasTimeout();
        struct timeval timeout = io_event_data.GetTimeout();

        const int result =
            select(fd_max + 1, fds_read, fds_write, fds_error, has_timeout ? &timeout : nullptr);
        if (result == 0) {
            io_event_data.HandleTimeout();
        } else if (result > 0) {
            encoder->HandleIOEvents(io_event_data);
            socket_out->HandleIOEvents(io_event_data);
        } else {
            // printf may change errno; the decision is about select's.
            const int select_errno = errno;
            printf("select: %s\n", strerror(select_errno));
            if (select_errno == EINTR || select_errno == EAGAIN) {
                puts(" -- continuing");
            } else {
                puts(" -- exiting");
                exit(1);
            }
        }

        gettimeofday(&current_time, nullptr);
        elapsed_seconds = static_cast<int32_t>(current_time.tv_sec - start_time.tv_sec);
    } while (elapsed_seconds < seconds_to_run);

    puts("Done encoding. Stopping and disconnecting...");
    DIAG_ASSERT(encoder->SetEnabled(false) == Status::SUCCESS);
    DIAG_ASSERT(socket_out->SetEnabled(false) == Status::SUCCESS);
    socket_out->Disconnect();

    puts("Shutting down...");
    encoder->Shutdown();
    socket_out->Shutdown();

    puts("Success");
    socket_out.reset();
    encoder.reset();
    return 0;
}

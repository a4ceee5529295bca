// The simulated cluster's stand-in encoder as a program: what sleeping-encoder.sh does, without
// the shell and the tools it starts for every run (on a small machine they take more of the
// cores than the program being measured). It takes the encoder's command line
// (-c CFG -i INPUT -b BITSTREAM -wdt W -hgt H [-q QP]), reads every picture it is handed (8-bit
// 4:2:0), sleeps CLUSTER_MS_PER_PICTURE milliseconds for each (default 100), and writes one real
// HEVC picture for each: slice<k>.265 beside this program, k the picture's first sample modulo 4,
// with headers.265 first and again before every picture whose second sample is 1. It prints a
// picture line each for the quality report and appends "host start end bitstream pictures" to
// runs.txt beside this program once its bitstream is written. With CLUSTER_GATE set it first
// waits (up to a minute) for that file to exist. SIGTERM ends it at once with status 143.

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

void endOnTerm(int)
{
    _exit(143);
}

double now()
{
    timespec at{};
    clock_gettime(CLOCK_REALTIME, &at);
    return double(at.tv_sec) + double(at.tv_nsec) / 1e9;
}

void sleepMs(long ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1000000};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

bool readAll(int fd, char *into, size_t size, size_t *got)
{
    *got = 0;
    while (*got < size) {
        const ssize_t n = read(fd, into + *got, size - *got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        *got += size_t(n);
    }
    return true;
}

std::string fileBytes(const std::string &path)
{
    std::string bytes;
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return bytes;
    char buffer[65536];
    for (;;) {
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        bytes.append(buffer, size_t(n));
    }
    close(fd);
    return bytes;
}

bool writeAll(int fd, const char *bytes, size_t size)
{
    while (size > 0) {
        const ssize_t n = write(fd, bytes, size);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        size -= size_t(n);
    }
    return true;
}

std::string here()
{
    char path[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return ".";
    std::string self(path, size_t(n));
    const size_t slash = self.rfind('/');
    return slash == std::string::npos ? std::string(".") : self.substr(0, slash);
}

} // namespace

int main(int argc, char **argv)
{
    std::signal(SIGTERM, endOnTerm);
    if (const char *gate = std::getenv("CLUSTER_GATE"); gate && *gate) {
        struct stat info;
        for (int waited = 0; waited < 1200 && stat(gate, &info) != 0; ++waited)
            sleepMs(50);
    }
    const double started = now();
    std::string input, output;
    long width = 0, height = 0, qp = 32;
    for (int i = 1; i + 1 < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-i")
            input = argv[i + 1];
        else if (option == "-b")
            output = argv[i + 1];
        else if (option == "-wdt")
            width = std::atol(argv[i + 1]);
        else if (option == "-hgt")
            height = std::atol(argv[i + 1]);
        else if (option == "-q")
            qp = std::atol(argv[i + 1]);
    }
    if (input.empty() || output.empty() || width <= 0 || height <= 0) {
        std::fprintf(stderr, "usage: %s -c CFG -i INPUT -b BITSTREAM -wdt W -hgt H [-q QP]\n", argv[0]);
        return 2;
    }
    // The input may be a pipe: read to its end, a picture at a time; a part picture at the end
    // counts as one, as a picture that starts no intra period.
    const std::string folder = here();
    const size_t pictureBytes = size_t(width) * size_t(height) * 3 / 2;
    std::vector<char> picture(pictureBytes);
    std::vector<std::string> units;
    long pictures = 0;
    const int in = open(input.c_str(), O_RDONLY | O_CLOEXEC);
    if (in >= 0) {
        size_t got = 0;
        while (readAll(in, picture.data(), pictureBytes, &got) && got > 0) {
            const unsigned char first = static_cast<unsigned char>(picture[0]);
            const bool intra = got > 1 && static_cast<unsigned char>(picture[1]) == 1;
            if (pictures == 0 || intra)
                units.push_back(folder + "/headers.265");
            units.push_back(folder + "/slice" + std::to_string(first % 4) + ".265");
            ++pictures;
            if (got < pictureBytes)
                break;
        }
        close(in);
    }
    const char *perPicture = std::getenv("CLUSTER_MS_PER_PICTURE");
    sleepMs(pictures * (perPicture && *perPicture ? std::atol(perPicture) : 100));
    const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out < 0)
        return 3;
    for (const std::string &unit : units) {
        const std::string bytes = fileBytes(unit);
        if (bytes.empty() || !writeAll(out, bytes.data(), bytes.size())) {
            close(out);
            return 3;
        }
    }
    close(out);
    for (long poc = 0; poc < pictures; ++poc)
        std::printf("POC %4ld TId: 0 ( I-SLICE, nQP %ld QP %ld ) %8ld bits [Y %ld.0 dB    U %ld.0 dB    V %ld.0 dB]\n",
                    poc, qp, qp, 2000 - 20 * qp, 90 - qp, 92 - qp, 92 - qp);
    std::fflush(stdout);
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    char line[PATH_MAX + 400];
    const int length = std::snprintf(line, sizeof line, "%s %.6f %.6f %s %ld\n", host, started, now(), output.c_str(),
                                     pictures);
    const int runs = open((folder + "/runs.txt").c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (runs >= 0) {
        writeAll(runs, line, size_t(length));
        close(runs);
    }
    return 0;
}

#include "support/Ffprobe.hpp"

#include <nlohmann/json.hpp>

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/wait.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
}

extern char** environ;

namespace snagreel::testing {

namespace {

void fail(std::string* whyNot, std::string reason) {
    if (whyNot != nullptr) {
        *whyNot = std::move(reason);
    }
}

std::optional<double> number(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end()) {
        return std::nullopt;
    }
    if (it->is_number()) {
        return it->get<double>();
    }
    if (it->is_string()) {
        const std::string text = it->get<std::string>();
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (end != text.c_str() && *end == '\0') {
            return value;
        }
    }
    return std::nullopt;
}

std::string text(const nlohmann::json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string{};
}

std::string averror(int code) {
    char buffer[AV_ERROR_MAX_STRING_SIZE] = {};
    av_strerror(code, buffer, sizeof buffer);
    return buffer;
}

} // namespace

// Both output streams are polled together so that neither pipe can fill and stall
// the child.
std::optional<RunOutput> runProgram(const std::vector<std::string>& arguments) {
    std::array<int, 2> out{-1, -1};
    std::array<int, 2> err{-1, -1};
    if (::pipe2(out.data(), O_CLOEXEC) != 0) {
        return std::nullopt;
    }
    if (::pipe2(err.data(), O_CLOEXEC) != 0) {
        ::close(out[0]);
        ::close(out[1]);
        return std::nullopt;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, err[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    if (spawned != 0) {
        ::close(out[0]);
        ::close(err[0]);
        return std::nullopt;
    }
    RunOutput result;
    std::array<pollfd, 2> fds{pollfd{out[0], POLLIN, 0}, pollfd{err[0], POLLIN, 0}};
    int open = 2;
    while (open > 0) {
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            break;
        }
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) {
                continue;
            }
            char chunk[65536];
            const ssize_t got = ::read(fds[i].fd, chunk, sizeof chunk);
            if (got > 0) {
                (i == 0 ? result.out : result.err).append(chunk, static_cast<std::size_t>(got));
            } else if (got == 0 || errno != EINTR) {
                ::close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (const pollfd& fd : fds) {
        if (fd.fd >= 0) {
            ::close(fd.fd);
        }
    }
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return result;
}

bool ffprobeAvailable() {
    auto output = runProgram({"ffprobe", "-version"});
    return output && output->exitStatus == 0;
}

std::optional<ProbeResult> ffprobe(const std::filesystem::path& file, std::string* whyNot) {
    auto output = runProgram({"ffprobe", "-v", "error", "-print_format", "json", "-show_streams",
                              "-show_frames", "-show_format", file.string()});
    if (!output) {
        fail(whyNot, "ffprobe could not be started");
        return std::nullopt;
    }
    ProbeResult result;
    result.exitStatus = output->exitStatus;
    std::istringstream errors(output->err);
    for (std::string line; std::getline(errors, line);) {
        if (!line.empty()) {
            result.decodeErrors.push_back(line);
        }
    }
    nlohmann::json document = nlohmann::json::parse(output->out, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        fail(whyNot, "ffprobe printed no JSON (exit " + std::to_string(output->exitStatus) +
                         "): " + output->err);
        return std::nullopt;
    }
    int videoIndex = -1;
    for (const auto& stream : document.value("streams", nlohmann::json::array())) {
        if (text(stream, "codec_type") != "video") {
            continue;
        }
        videoIndex = stream.value("index", -1);
        result.codecName = text(stream, "codec_name");
        result.profile = text(stream, "profile");
        result.hasBFrames = stream.value("has_b_frames", 0);
        result.avgFrameRate = text(stream, "avg_frame_rate");
        result.codecTagString = text(stream, "codec_tag_string");
        result.width = stream.value("width", 0);
        result.height = stream.value("height", 0);
        if (auto frames = number(stream, "nb_frames")) {
            result.streamFrameCount = static_cast<std::int64_t>(*frames);
        }
        break;
    }
    if (auto format = document.find("format"); format != document.end()) {
        result.formatName = text(*format, "format_name");
        result.duration = number(*format, "duration");
    }
    for (const auto& frame : document.value("frames", nlohmann::json::array())) {
        if (text(frame, "media_type") != "video" || frame.value("stream_index", -2) != videoIndex) {
            continue;
        }
        ProbeFrame probe;
        probe.keyframe = frame.value("key_frame", 0) != 0;
        probe.pictType = text(frame, "pict_type");
        probe.ptsTime = number(frame, "pts_time");
        probe.durationTime = number(frame, "duration_time");
        if (!probe.durationTime) {
            probe.durationTime = number(frame, "pkt_duration_time");
        }
        if (probe.keyframe) {
            result.keyframeIndices.push_back(static_cast<int>(result.frames.size()));
        }
        result.frames.push_back(std::move(probe));
    }
    return result;
}

DecodeReport fullyDecodes(const std::filesystem::path& file) {
    DecodeReport report;
    AVFormatContext* format = nullptr;
    if (int ret = avformat_open_input(&format, file.c_str(), nullptr, nullptr); ret < 0) {
        report.errors.push_back("open: " + averror(ret));
        return report;
    }
    AVCodecContext* decoder = nullptr;
    AVPacket* packet = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    auto finish = [&] {
        av_frame_free(&frame);
        av_packet_free(&packet);
        avcodec_free_context(&decoder);
        avformat_close_input(&format);
        return report;
    };
    if (int ret = avformat_find_stream_info(format, nullptr); ret < 0) {
        report.errors.push_back("stream info: " + averror(ret));
        return finish();
    }
    const AVCodec* codec = nullptr;
    const int stream = av_find_best_stream(format, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream < 0 || codec == nullptr) {
        report.errors.push_back("no video stream");
        return finish();
    }
    decoder = avcodec_alloc_context3(codec);
    if (decoder == nullptr || packet == nullptr || frame == nullptr ||
        avcodec_parameters_to_context(decoder, format->streams[stream]->codecpar) < 0) {
        report.errors.push_back("no decoder");
        return finish();
    }
    decoder->err_recognition = AV_EF_EXPLODE | AV_EF_BITSTREAM | AV_EF_BUFFER | AV_EF_CRCCHECK;
    decoder->thread_count = 1;
    if (int ret = avcodec_open2(decoder, codec, nullptr); ret < 0) {
        report.errors.push_back("decoder open: " + averror(ret));
        return finish();
    }
    auto receive = [&] {
        while (true) {
            const int ret = avcodec_receive_frame(decoder, frame);
            if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) {
                return;
            }
            if (ret < 0) {
                report.errors.push_back("frame " + std::to_string(report.frames) + ": " +
                                        averror(ret));
                return;
            }
            if (frame->decode_error_flags != 0 || (frame->flags & AV_FRAME_FLAG_CORRUPT) != 0) {
                report.errors.push_back("frame " + std::to_string(report.frames) +
                                        " decoded with errors");
            }
            ++report.frames;
            av_frame_unref(frame);
        }
    };
    while (true) {
        const int ret = av_read_frame(format, packet);
        if (ret == AVERROR_EOF) {
            break;
        }
        if (ret < 0) {
            report.errors.push_back("read: " + averror(ret));
            break;
        }
        if (packet->stream_index == stream) {
            ++report.packets;
            if (int sent = avcodec_send_packet(decoder, packet); sent < 0) {
                report.errors.push_back("packet " + std::to_string(report.packets - 1) + ": " +
                                        averror(sent));
            }
            receive();
        }
        av_packet_unref(packet);
    }
    avcodec_send_packet(decoder, nullptr);
    receive();
    return finish();
}

} // namespace snagreel::testing

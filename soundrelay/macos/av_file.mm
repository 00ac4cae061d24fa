// Audio files read through the system's audio file reader, delivered as
// Float32 non-interleaved at the file's own rate and channel count.
#include "macos/av_bridge.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace macaudio {

namespace {

class AVFileReader final : public audio::AudioFile {
public:
    AVFileReader(AVAudioFile* file, AVAudioFormat* format) : file_(file), format_(format) {}

    audio::Format processingFormat() const override { return modelFormat(format_); }
    int64_t length() const override { return [file_ length]; }
    int64_t framePosition() const override { return [file_ framePosition]; }

    bool read(audio::PcmBuffer& buffer, uint32_t frames, audio::Error& error) override
    {
        const audio::Format& format = buffer.format();
        if (format.commonFormat != audio::CommonFormat::Float32 || format.interleaved ||
            format.channelCount != format_.channelCount) {
            error = ownError("buffer does not have the file's processing format");
            return false;
        }
        buffer.setFrameLength(0);
        const uint32_t wanted = std::min(frames, buffer.frameCapacity());
        if (wanted == 0) {
            return true;
        }
        @autoreleasepool {
            // One buffer of the reader's own, kept for the next read.
            if (!chunk_ || chunk_.frameCapacity < wanted) {
                chunk_ = [[AVAudioPCMBuffer alloc] initWithPCMFormat:format_ frameCapacity:wanted];
            }
            if (!chunk_) {
                error = ownError("read buffer cannot be made");
                return false;
            }
            NSError* failure = nil;
            if (![file_ readIntoBuffer:chunk_ frameCount:wanted error:&failure]) {
                error = systemError(failure, "read_failed");
                return false;
            }
            copyInto(chunk_, buffer);
            return true;
        }
    }

private:
    AVAudioFile* file_;
    AVAudioFormat* format_;
    AVAudioPCMBuffer* chunk_ = nil;
};

audio::Error posixError(int code)
{
    return audio::Error{"NSPOSIXErrorDomain", code, std::strerror(code)};
}

}  // namespace

std::unique_ptr<audio::AudioFile> openFile(const std::string& path, audio::Error& error)
{
    // The path would end at the NUL and name another file.
    if (path.empty() || path.find('\0') != std::string::npos) {
        error = posixError(ENOENT);
        return nullptr;
    }
    // The reader's own error for a missing file is a bare status code; the
    // system's words for it tell the host more. A FIFO would hold up the
    // command loop until a writer came: only regular files are fixtures.
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) {
        error = posixError(errno);
        return nullptr;
    }
    if (!S_ISREG(status.st_mode)) {
        error = ownError("not a regular file");
        return nullptr;
    }
    @autoreleasepool {
        NSString* systemPath = [[NSFileManager defaultManager] stringWithFileSystemRepresentation:path.c_str()
                                                                                          length:path.size()];
        NSURL* url = [NSURL fileURLWithPath:systemPath];
        NSError* failure = nil;
        AVAudioFile* file = [[AVAudioFile alloc] initForReading:url
                                                   commonFormat:AVAudioPCMFormatFloat32
                                                    interleaved:NO
                                                          error:&failure];
        if (!file) {
            error = systemError(failure, "open_failed");
            return nullptr;
        }
        AVAudioFormat* format = file.processingFormat;
        if (format.channelCount == 0 || !(format.sampleRate > 0.0)) {
            error = ownError("file has no sample rate or no channels");
            return nullptr;
        }
        return std::make_unique<AVFileReader>(file, format);
    }
}

}  // namespace macaudio

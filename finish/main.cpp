#include "finish/main.h"

#include <signal.h>
#include <unistd.h>

#include <exception>
#include <string>

#include "finish/channel.h"
#include "finish/commands.h"
#include "finish/reply.h"
#include "finish/request.h"
#include "jpegprofile/jpegprofile.h"

namespace Finish {

namespace {

int answer(Channel& channel) {
    const auto line = channel.readLine();
    if (!line || !validUTF8(*line)) throw FinishFailure("Missing delivery request");
    if (line->size() > Channel::maxLine) throw RequestDecodingError("The delivery request is too long");
    return perform(FinishRequest::decode(*line), channel);
}

void reportError(Channel& channel, const std::string& text) {
    try {
        channel.emit({{"error", validUTF8(text) ? text : "Unexpected delivery failure"}, {"ok", false}});
    } catch (...) {
        // Nothing more can be said; the exit status tells.
    }
}

}  // namespace

int main(int, char**) {
    // A reader that went away must turn into a failed write, not a killed process.
    ::signal(SIGPIPE, SIG_IGN);
    Channel channel(STDIN_FILENO, STDOUT_FILENO);
    try {
        return answer(channel);
    } catch (const FinishFailure& failure) {
        reportError(channel, failure.description());
    } catch (const JPEGColourProfile::Failure& failure) {
        reportError(channel, failure.description());
    } catch (const std::exception& error) {
        reportError(channel, error.what());
    } catch (...) {
        reportError(channel, "Unexpected delivery failure");
    }
    return 1;
}

}  // namespace Finish

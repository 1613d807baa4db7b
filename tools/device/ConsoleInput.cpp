#include "ConsoleInput.h"

#include "CFRunLoop.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

// A file of the machine, whole; null with errno set when it cannot be read (a folder cannot).
std::optional<std::string> wholeFile(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    std::string content;
    char buffer[64 * 1024];
    for (;;) {
        ssize_t length = read(fd, buffer, sizeof buffer);
        if (length < 0 && errno == EINTR)
            continue;
        if (length < 0) {
            int failure = errno;
            close(fd);
            errno = failure;
            return std::nullopt;
        }
        if (length == 0)
            break;
        content.append(buffer, static_cast<size_t>(length));
    }
    close(fd);
    return content;
}

} // namespace

ConsoleInput::ConsoleInput(std::string name)
    : inputName(std::move(name))
{
}

ConsoleInput::~ConsoleInput()
{
    if (source) {
        source->invalidate();
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
    }
}

std::unique_ptr<ConsoleInput> ConsoleInput::fromFile(const std::string& path, std::string& error)
{
    std::optional<std::string> content = wholeFile(path);
    if (!content) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return nullptr;
    }
    std::unique_ptr<ConsoleInput> input(new ConsoleInput(path));
    input->receive(*content);
    input->receiveEnd();
    return input;
}

std::unique_ptr<ConsoleInput> ConsoleInput::fromStandardInput(std::ostream& out, const std::string& prompt)
{
    std::unique_ptr<ConsoleInput> input(new ConsoleInput("standard input"));
    // The editor echoes what is typed to the output: both must be the terminal.
    if (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO))
        input->editor = std::make_unique<TerminalLineEditor>(STDIN_FILENO, out, prompt);
    ConsoleInput* reader = input.get();
    input->source = CFRunLoopSource::create(STDIN_FILENO, [reader] { reader->readStandardInput(); });
    CFRunLoopAddSource(CFRunLoopGetCurrent(), input->source, kCFRunLoopDefaultMode);
    return input;
}

std::optional<ConsoleInput::Line> ConsoleInput::nextLine()
{
    if (lines.empty())
        return std::nullopt;
    Line line = std::move(lines.front());
    lines.pop_front();
    return line;
}

void ConsoleInput::readStandardInput()
{
    std::vector<char> buffer(64 * 1024);
    ssize_t length = read(STDIN_FILENO, buffer.data(), buffer.size());
    if (length < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (length <= 0) {
        receiveEnd();
        return;
    }
    std::string_view bytes(buffer.data(), static_cast<size_t>(length));
    if (!editor) {
        receive(bytes);
        return;
    }
    std::vector<TerminalLineEditor::Line> typed;
    bool endTyped = editor->receive(bytes, typed);
    for (auto& line : typed)
        addLine(std::move(line.text), line.shown);
    if (endTyped)
        receiveEnd();
}

void ConsoleInput::receive(std::string_view bytes)
{
    partial.append(bytes);
    size_t start = 0;
    for (size_t end = partial.find('\n', searchedUpTo); end != std::string::npos; end = partial.find('\n', start)) {
        std::string text = partial.substr(start, end - start);
        if (!text.empty() && text.back() == '\r')
            text.pop_back();
        addLine(std::move(text), false);
        start = end + 1;
    }
    partial.erase(0, start);
    searchedUpTo = partial.size();
}

void ConsoleInput::receiveEnd()
{
    if (ended)
        return;
    if (!partial.empty())
        addLine(std::exchange(partial, std::string()), false);
    searchedUpTo = 0;
    ended = true;
    // A descriptor at its end stays readable; it is not watched any more.
    if (source) {
        source->invalidate();
        CFRunLoopRemoveSource(CFRunLoopGetCurrent(), source, kCFRunLoopDefaultMode);
        source.reset();
    }
}

void ConsoleInput::addLine(std::string text, bool shown)
{
    lines.push_back({ ++linesGathered, std::move(text), shown });
}

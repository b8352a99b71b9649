#include "options.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>

namespace printer {

namespace {

std::optional<double> parse_seconds(std::string_view text) {
    double v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(v) || v < 0)
        return std::nullopt;
    return v;
}

std::optional<std::uint64_t> parse_count(std::string_view text) {
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (ec != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return v;
}

} // namespace

std::string usage_text() {
    return "usage: printer-sim [--link PATH | --fifo PATH | --decode FILE] [options]\n"
           "\n"
           "Receives a firmware download the way the printer does and verifies it.\n"
           "Default: a pseudo-terminal; prints \"ready: DEVICE\" once it listens.\n"
           "\n"
           "  --link PATH            make PATH a symbolic link to the pseudo-terminal\n"
           "  --fifo PATH            receive through a FIFO created at PATH\n"
           "  --decode FILE          check a capture file (both connections, in order)\n"
           "  --json                 write the report as one line of JSON\n"
           "  --save-image FILE      write the image bytes received to FILE\n"
           "  --expect-image FILE    the image must be exactly FILE's bytes\n"
           "  --timeout SECONDS      give up after this long (default: never)\n"
           "  --min-pause SECONDS    shortest pause between the connections (default 3)\n"
           "  --linger SECONDS       watch this long for a third connection (default 0.25)\n"
           "  --rate BYTES_PER_SEC   take data no faster than this\n"
           "  --stall-after N        stop taking data after N bytes of connection 2\n"
           "  --stall-for SECONDS    end the stall after this long (default: never)\n"
           "  --hangup-after N       hang up after N bytes of connection 2\n"
           "  --stall | --hangup     with --stage: stall or hang up at a part of the stream\n"
           "  --stage STAGE          prelude, header, blocks, tail or checksum\n"
           "  --help                 show this text\n"
           "\n"
           "Exit status: 0 verified, 1 wrong or incomplete stream, 2 could not start.\n";
}

ParsedOptions parse_options(std::span<const std::string_view> args) {
    Options o;
    bool stall_flag = false;
    bool hangup_flag = false;
    std::optional<Stage> stage;
    int modes = 0;
    auto error = [](std::string message) { return ParsedOptions{std::nullopt, message}; };

    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::string_view value;
        bool has_value = false;
        if (const auto eq = arg.find('='); arg.starts_with("--") && eq != std::string_view::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        auto flag = [&](bool &target) {
            if (has_value)
                return false;
            target = true;
            return true;
        };
        auto take = [&]() -> std::optional<std::string_view> {
            if (has_value)
                return value;
            if (i + 1 >= args.size())
                return std::nullopt;
            return args[++i];
        };
        const std::string name(arg);

        if (arg == "--help" || arg == "-h") {
            if (!flag(o.help))
                return error(name + " takes no value");
            continue;
        }
        if (arg == "--json") {
            if (!flag(o.json))
                return error(name + " takes no value");
            continue;
        }
        if (arg == "--stall") {
            if (!flag(stall_flag))
                return error(name + " takes no value");
            continue;
        }
        if (arg == "--hangup") {
            if (!flag(hangup_flag))
                return error(name + " takes no value");
            continue;
        }
        static constexpr std::string_view with_value[] = {
            "--link",        "--fifo",         "--decode", "--save-image", "--expect-image",
            "--timeout",     "--min-pause",    "--linger", "--stall-for",  "--rate",
            "--stall-after", "--hangup-after", "--stage"};
        if (std::find(std::begin(with_value), std::end(with_value), arg) == std::end(with_value))
            return error("unknown option: " + name);
        const auto v = take();
        if (!v)
            return error(name + " needs a value");
        if (arg == "--link" || arg == "--fifo" || arg == "--decode" || arg == "--save-image" ||
            arg == "--expect-image") {
            if (v->empty())
                return error(name + " needs a path");
            if (arg == "--link") {
                o.link = *v;
            } else if (arg == "--fifo") {
                o.fifo = *v;
                o.mode = Mode::fifo;
                ++modes;
            } else if (arg == "--decode") {
                o.decode = *v;
                o.mode = Mode::decode;
                ++modes;
            } else if (arg == "--save-image") {
                o.save_image = *v;
            } else {
                o.expect_image = *v;
            }
        } else if (arg == "--timeout" || arg == "--min-pause" || arg == "--linger" ||
                   arg == "--stall-for" || arg == "--rate") {
            const auto s = parse_seconds(*v);
            if (!s)
                return error(name + ": not a number of seconds or bytes: " + std::string(*v));
            if (arg == "--timeout")
                o.timeout = *s;
            else if (arg == "--min-pause")
                o.min_pause = *s;
            else if (arg == "--linger")
                o.linger = *s;
            else if (arg == "--stall-for")
                o.stall_for = *s;
            else if (*s <= 0)
                return error("--rate must be more than 0");
            else
                o.rate = *s;
        } else if (arg == "--stall-after" || arg == "--hangup-after") {
            const auto n = parse_count(*v);
            if (!n)
                return error(name + ": not a byte count: " + std::string(*v));
            (arg == "--stall-after" ? o.stall : o.hangup) = Place{*n, std::nullopt};
        } else if (arg == "--stage") {
            stage = stage_from_name(*v);
            if (!stage)
                return error("--stage: not one of prelude, header, blocks, tail, checksum: " +
                             std::string(*v));
        } else {
            return error("unknown option: " + name);
        }
    }

    if (o.help)
        return {o, {}};
    if (modes > 1)
        return error("choose one of --fifo and --decode");
    if (!o.link.empty() && o.mode != Mode::pty)
        return error("--link is for the pseudo-terminal only");
    if (stage) {
        if (stall_flag == hangup_flag)
            return error("--stage needs exactly one of --stall and --hangup");
        auto &target = stall_flag ? o.stall : o.hangup;
        if (target)
            return error("--stage and a byte count both place the same behaviour");
        target = Place{std::nullopt, stage};
    } else if (stall_flag || hangup_flag) {
        return error("--stall and --hangup need --stage (or use --stall-after/--hangup-after)");
    }
    if (o.stall_for && !o.stall)
        return error("--stall-for needs a stall (--stall-after or --stall --stage)");
    if (o.mode == Mode::decode && (o.rate || o.stall || o.hangup || o.timeout))
        return error("--rate, stalls, hang-ups and --timeout need a live line, not --decode");
    return {o, {}};
}

} // namespace printer

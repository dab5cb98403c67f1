// sorvel2-tool render: frames drawn by the demo's own scene code in an
// off-screen OpenGL context, written as PNG files.
//
// Set-up: options.txt, the context, the demo's view and scene set-up.
// Loop: ElapsedMs, RenderScene, read back, write. Tear-down: the context.
#include "app/options.h"
#include "app/view.h"
#include "platform/offscreen_gl.h"
#include "scene/scene.h"
#include "scene/state.h"
#include "tool_commands.h"
#include "tool_common.h"

#include <GL/gl.h>
#include <png.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

const char kRenderHelp[] =
    "usage: sorvel2-tool render --time-ms N [--frames K [--fps F]] [--size WxH] [--grid S] [--balls B]\n"
    "                           [--field F] -o OUT\n"
    "\n"
    "Draws the frame the demo shows at ElapsedMs = N with the demo's own set-up and\n"
    "frame code (InitScene, RenderScene) in an off-screen OpenGL context (Mesa's\n"
    "software renderer: no window, no display) and writes it as an RGB PNG.\n"
    "options.txt, reflect.bmp and background.bmp are read from the working\n"
    "directory as the demo reads them, with the demo's errors and exit codes;\n"
    "with --size, --grid and --balls all given, options.txt is not read.\n"
    "\n"
    "  --time-ms N   milliseconds since the frame loop began, for the first frame\n"
    "  --frames K    draw K frames (default 1); frame k is at N + k * 1000 / F ms,\n"
    "                rounded to the nearest millisecond\n"
    "  --fps F       frames per second of the sequence (default 30)\n"
    "  --size WxH    image size (default: options.txt's screen size)\n"
    "  --grid S      grid resolution (1 or more) instead of options.txt's\n"
    "  --balls B     number of balls (0 or more) instead of options.txt's\n"
    SORVEL2_FIELD_HELP
    "  -o, --output OUT\n"
    "                a single frame (no --frames): the file name.\n"
    "                With --frames: a printf pattern with one integer conversion\n"
    "                (frame%04d.png) given the frame number from 0, or else a\n"
    "                prefix to which the 5-digit frame number and .png are added\n"
    "                (-o shots/f gives shots/f00000.png, shots/f00001.png, ...).\n"
    "\n"
    "While a sequence is drawn, a progress bar is shown on stderr when stderr is a\n"
    "terminal. A sequence is ready for a video encoder, for example:\n"
    "  sorvel2-tool render --time-ms 0 --frames 300 --fps 30 -o f\n"
    "  ffmpeg -framerate 30 -i f%05d.png -pix_fmt yuv420p metaballs.mp4\n"
    "\n"
    "Exit codes: 0 done; 1 no OpenGL context, an image not written, or a texture\n"
    "that cannot be loaded (the demo's message); 64 a bad command line; otherwise\n"
    "the demo's run-time error number (2 no options.txt, 106, 201, 203).\n";

namespace {

const TFlagRule kOptions[] = {
    {"time-ms", true}, {"frames", true}, {"fps", true},        {"size", true},
    {"grid", true},    {"balls", true},  {"field", true},      {"output", true, 'o'}};

// Writes Rgb (Width x Height, top row first) as an 8-bit RGB PNG with no
// time stamp or other chunk that would change from run to run. Returns an
// empty string or the reason it failed.
std::string WritePng(const char* Path, int Width, int Height, const std::uint8_t* Rgb) {
    std::FILE* file = std::fopen(Path, "wb");
    if (file == nullptr) return std::strerror(errno);
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
    if (info == nullptr) {
        png_destroy_write_struct(&png, nullptr);
        std::fclose(file);
        return "libpng could not start";
    }
    // NOTE: libpng reports its errors by longjmp to here; nothing with a
    // destructor lives between this and the writes below.
    if (setjmp(png_jmpbuf(png)) != 0) {
        png_destroy_write_struct(&png, &info);
        std::fclose(file);
        return "libpng failed to write the image";
    }
    png_init_io(png, file);
    png_set_IHDR(png, info, static_cast<png_uint_32>(Width), static_cast<png_uint_32>(Height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    for (int y = 0; y < Height; ++y)
        png_write_row(png, Rgb + static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) * 3);
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    return std::fclose(file) == 0 ? "" : std::strerror(errno);
}

// A pattern holds exactly one conversion of the form %[0][width]d ("%%" is a
// literal percent sign); anything else is refused.
bool CountConversions(const std::string& Out, int& Conversions) {
    Conversions = 0;
    for (std::size_t i = 0; i < Out.size(); ++i) {
        if (Out[i] != '%') continue;
        if (i + 1 < Out.size() && Out[i + 1] == '%') {
            ++i;
            continue;
        }
        std::size_t j = i + 1;
        while (j < Out.size() && Out[j] >= '0' && Out[j] <= '9' && j - i <= 2) ++j;
        if (j >= Out.size() || Out[j] != 'd') return false;
        ++Conversions;
        i = j;
    }
    return true;
}

std::string FrameName(const std::string& Pattern, int Frame) {
    char name[4096];
    std::snprintf(name, sizeof name, Pattern.c_str(), Frame);
    return name;
}

// "[#####.....]  12/100" on stderr, redrawn in place.
void ShowProgress(int Done, int Total) {
    constexpr int kWidth = 40;
    const int filled = static_cast<int>(static_cast<long long>(Done) * kWidth / Total);
    char bar[kWidth + 1];
    for (int i = 0; i < kWidth; ++i) bar[i] = i < filled ? '#' : '.';
    bar[kWidth] = '\0';
    std::fprintf(stderr, "\r[%s] %d/%d", bar, Done, Total);
    if (Done == Total) std::fputc('\n', stderr);
    std::fflush(stderr);
}

} // namespace

int RunRender(int Argc, char** Argv) {
    TCommandLine line("render", kOptions);
    if (!line.Parse(Argc, Argv)) return kExitUsage;
    std::int32_t ms = 0, frames = 1, fps = 30, width = 0, height = 0;
    if (!line.Has("time-ms")) return line.Fail("--time-ms is required"), kExitUsage;
    if (!line.Int("time-ms", INT32_MIN, INT32_MAX, ms) || !line.Int("frames", 1, 1000000, frames) ||
        !line.Int("fps", 1, 1000, fps))
        return kExitUsage;
    if (line.Has("fps") && !line.Has("frames")) return line.Fail("--fps goes with --frames"), kExitUsage;
    if (!line.Size("size", width, height)) return kExitUsage;
    if (!line.Has("output")) return line.Fail("-o OUT is required"), kExitUsage;
    const std::string out = line.Value("output");
    int conversions = 0;
    if (!CountConversions(out, conversions) || conversions > 1)
        return line.Fail("-o '" + out + "': a pattern takes one conversion like %05d"), kExitUsage;
    std::string pattern;
    if (line.Has("frames")) {
        if (conversions == 1) {
            pattern = out;
        } else {
            for (char ch : out) pattern += ch == '%' ? std::string("%%") : std::string(1, ch);  // a prefix is literal
            pattern += "%05d.png";
        }
    } else if (conversions == 1) {
        pattern = out;
    }

    // Set-up, in the demo's order: options, context and view, scene.
    TFieldRoute route;
    if (!ResolveFieldRoute(line, route)) return kExitUsage;
    TToolSettings settings;
    if (!ResolveSettings(line, settings)) return kExitUsage;
    if (width == 0) {
        if (!settings.FromFile) {
            ReadOptions();  // for the screen size alone
            settings.Width = ScreenWidth;
            settings.Height = ScreenHeight;
        }
        if (settings.Width < 1 || settings.Height < 1 || settings.Width > 16384 || settings.Height > 16384) {
            std::fprintf(stderr, "sorvel2-tool render: options.txt's screen size %dx%d cannot be drawn; give --size\n",
                         settings.Width, settings.Height);
            return kExitFailed;
        }
        width = settings.Width;
        height = settings.Height;
    }
    BallCount = settings.Balls;
    GridSize = settings.Grid;
    TOffscreenGL gl;
    if (!gl.Open(width, height)) {
        std::fprintf(stderr, "sorvel2-tool render: no off-screen OpenGL context: %s\n", gl.Error());
        return kExitFailed;
    }
    ResizeView(width, height);
    InitScene();
    Grid->Route = route;
    std::vector<std::uint8_t> rgb(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3);
    const bool progress = frames > 1 && isatty(2) != 0;

    // Loop: one image per frame.
    for (int k = 0; k < frames; ++k) {
        const std::int64_t offset = (static_cast<std::int64_t>(k) * 1000 + fps / 2) / fps;
        ElapsedMs = static_cast<std::int32_t>(static_cast<std::uint32_t>(ms) + static_cast<std::uint32_t>(offset));
        RenderScene();
        glFinish();
        gl.ReadPixels(rgb.data());
        const std::string name = pattern.empty() ? out : FrameName(pattern, k);
        if (const std::string failed = WritePng(name.c_str(), width, height, rgb.data()); !failed.empty()) {
            if (progress) std::fputc('\n', stderr);
            std::fprintf(stderr, "sorvel2-tool render: cannot write '%s': %s\n", name.c_str(), failed.c_str());
            return kExitFailed;
        }
        if (progress) ShowProgress(k + 1, frames);
    }
    gl.Close();
    return 0;
}

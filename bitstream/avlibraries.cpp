#include "avlibraries.h"

#include <cerrno>
#include <cstdio>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <dlfcn.h>
#include <unistd.h>

extern "C" {
#include <libavcodec/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
#include <libswscale/version.h>
}

// Every FFmpeg call the program makes, with the library that holds it.
#define MORLUNEX_AV_CALLS(X) \
    X(avcodec, av_bsf_alloc) \
    X(avcodec, av_bsf_free) \
    X(avcodec, av_bsf_get_by_name) \
    X(avcodec, av_bsf_init) \
    X(avcodec, av_bsf_receive_packet) \
    X(avcodec, av_bsf_send_packet) \
    X(avcodec, av_get_bits_per_sample) \
    X(avcodec, av_grow_packet) \
    X(avcodec, av_new_packet) \
    X(avcodec, av_packet_alloc) \
    X(avcodec, av_packet_free) \
    X(avcodec, av_packet_make_writable) \
    X(avcodec, av_packet_rescale_ts) \
    X(avcodec, av_packet_unref) \
    X(avcodec, avcodec_alloc_context3) \
    X(avcodec, avcodec_decode_subtitle2) \
    X(avcodec, avcodec_default_get_buffer2) \
    X(avcodec, avcodec_descriptor_get) \
    X(avcodec, avcodec_encode_subtitle) \
    X(avcodec, avcodec_find_decoder) \
    X(avcodec, avcodec_find_decoder_by_name) \
    X(avcodec, avcodec_find_encoder) \
    X(avcodec, avcodec_flush_buffers) \
    X(avcodec, avcodec_free_context) \
    X(avcodec, avcodec_get_name) \
    X(avcodec, avcodec_open2) \
    X(avcodec, avcodec_parameters_alloc) \
    X(avcodec, avcodec_parameters_copy) \
    X(avcodec, avcodec_parameters_free) \
    X(avcodec, avcodec_parameters_from_context) \
    X(avcodec, avcodec_parameters_to_context) \
    X(avcodec, avcodec_receive_frame) \
    X(avcodec, avcodec_receive_packet) \
    X(avcodec, avcodec_send_frame) \
    X(avcodec, avcodec_send_packet) \
    X(avcodec, avsubtitle_free) \
    X(avformat, av_find_best_stream) \
    X(avformat, av_find_input_format) \
    X(avformat, av_guess_format) \
    X(avformat, av_guess_sample_aspect_ratio) \
    X(avformat, av_interleaved_write_frame) \
    X(avformat, av_read_frame) \
    X(avformat, av_seek_frame) \
    X(avformat, av_stream_get_side_data) \
    X(avformat, av_stream_new_side_data) \
    X(avformat, av_write_frame) \
    X(avformat, av_write_trailer) \
    X(avformat, avformat_alloc_context) \
    X(avformat, avformat_alloc_output_context2) \
    X(avformat, avformat_close_input) \
    X(avformat, avformat_find_stream_info) \
    X(avformat, avformat_free_context) \
    X(avformat, avformat_new_stream) \
    X(avformat, avformat_open_input) \
    X(avformat, avformat_query_codec) \
    X(avformat, avformat_write_header) \
    X(avformat, avio_alloc_context) \
    X(avformat, avio_closep) \
    X(avformat, avio_context_free) \
    X(avformat, avio_flush) \
    X(avformat, avio_open) \
    X(avutil, av_buffer_alloc) \
    X(avutil, av_buffer_unref) \
    X(avutil, av_channel_layout_compare) \
    X(avutil, av_channel_layout_copy) \
    X(avutil, av_channel_layout_default) \
    X(avutil, av_channel_layout_describe) \
    X(avutil, av_channel_layout_uninit) \
    X(avutil, av_compare_ts) \
    X(avutil, av_d2q) \
    X(avutil, av_dict_free) \
    X(avutil, av_dict_get) \
    X(avutil, av_dict_set) \
    X(avutil, av_div_q) \
    X(avutil, av_frame_alloc) \
    X(avutil, av_frame_free) \
    X(avutil, av_frame_get_buffer) \
    X(avutil, av_frame_get_side_data) \
    X(avutil, av_frame_unref) \
    X(avutil, av_free) \
    X(avutil, av_freep) \
    X(avutil, av_get_sample_fmt_name) \
    X(avutil, av_image_get_linesize) \
    X(avutil, av_int_list_length_for_size) \
    X(avutil, av_log) \
    X(avutil, av_log_format_line2) \
    X(avutil, av_log_set_callback) \
    X(avutil, av_malloc) \
    X(avutil, av_mallocz) \
    X(avutil, av_opt_set_bin) \
    X(avutil, av_opt_set_int) \
    X(avutil, av_opt_set_q) \
    X(avutil, av_pix_fmt_count_planes) \
    X(avutil, av_pix_fmt_desc_get) \
    X(avutil, av_realloc_array) \
    X(avutil, av_reduce) \
    X(avutil, av_rescale) \
    X(avutil, av_rescale_q) \
    X(avutil, av_rescale_q_rnd) \
    X(avutil, av_rescale_rnd) \
    X(avutil, av_strcasecmp) \
    X(avutil, av_strdup) \
    X(avutil, av_strerror) \
    X(avutil, av_strncasecmp) \
    X(swscale, sws_freeContext) \
    X(swscale, sws_getCachedContext) \
    X(swscale, sws_getColorspaceDetails) \
    X(swscale, sws_isSupportedOutput) \
    X(swscale, sws_scale) \
    X(swscale, sws_setColorspaceDetails) \

// A call under the library's name jumps through its slot. The slot first holds the call's stub,
// which hands the slot to the loader with every argument register kept; the loader fills all
// slots at once and the call goes on to the library's function. Both names are hidden, so the
// libraries themselves never bind to them. endbr64 marks each target of an indirect jump.
#define MORLUNEX_AV_TRAMPOLINE(library, name)                                                          \
    asm(".pushsection .text\n"                                                                         \
        ".globl " #name "\n"                                                                           \
        ".hidden " #name "\n"                                                                          \
        ".type " #name ", @function\n"                                                                 \
        ".p2align 4\n" #name ":\n"                                                                     \
        "    endbr64\n"                                                                                \
        "    jmp *morlunex_av_slot_" #name "(%rip)\n"                                                  \
        ".size " #name ", .-" #name "\n"                                                               \
        "morlunex_av_stub_" #name ":\n"                                                                \
        "    endbr64\n"                                                                                \
        "    leaq morlunex_av_slot_" #name "(%rip), %r11\n"                                            \
        "    jmp morlunex_av_load_and_call\n"                                                          \
        ".popsection\n"                                                                                \
        ".pushsection .data.rel.local, \"aw\"\n"                                                       \
        ".p2align 3\n"                                                                                 \
        ".globl morlunex_av_slot_" #name "\n"                                                          \
        ".hidden morlunex_av_slot_" #name "\n"                                                         \
        "morlunex_av_slot_" #name ":\n"                                                                \
        "    .quad morlunex_av_stub_" #name "\n"                                                       \
        ".popsection\n");
MORLUNEX_AV_CALLS(MORLUNEX_AV_TRAMPOLINE)

// From a stub: the slot in r11, the call's arguments in the integer and vector argument registers
// (al counts the vector ones of a variadic call). The stack is 16-byte aligned at the loader's
// call: the return address and seven pushes make 64 bytes, the vector registers 128.
asm(".pushsection .text\n"
    ".p2align 4\n"
    "morlunex_av_load_and_call:\n"
    "    pushq %rdi\n"
    "    pushq %rsi\n"
    "    pushq %rdx\n"
    "    pushq %rcx\n"
    "    pushq %r8\n"
    "    pushq %r9\n"
    "    pushq %rax\n"
    "    subq $128, %rsp\n"
    "    movdqu %xmm0, 0(%rsp)\n"
    "    movdqu %xmm1, 16(%rsp)\n"
    "    movdqu %xmm2, 32(%rsp)\n"
    "    movdqu %xmm3, 48(%rsp)\n"
    "    movdqu %xmm4, 64(%rsp)\n"
    "    movdqu %xmm5, 80(%rsp)\n"
    "    movdqu %xmm6, 96(%rsp)\n"
    "    movdqu %xmm7, 112(%rsp)\n"
    "    movq %r11, %rdi\n"
    "    call morlunex_av_load\n"
    "    movq %rax, %r11\n"
    "    movdqu 0(%rsp), %xmm0\n"
    "    movdqu 16(%rsp), %xmm1\n"
    "    movdqu 32(%rsp), %xmm2\n"
    "    movdqu 48(%rsp), %xmm3\n"
    "    movdqu 64(%rsp), %xmm4\n"
    "    movdqu 80(%rsp), %xmm5\n"
    "    movdqu 96(%rsp), %xmm6\n"
    "    movdqu 112(%rsp), %xmm7\n"
    "    addq $128, %rsp\n"
    "    popq %rax\n"
    "    popq %r9\n"
    "    popq %r8\n"
    "    popq %rcx\n"
    "    popq %rdx\n"
    "    popq %rsi\n"
    "    popq %rdi\n"
    "    jmp *%r11\n"
    ".popsection\n");

#define MORLUNEX_AV_SLOT_DECLARATION(library, name) extern "C" __attribute__((visibility("hidden"))) void *morlunex_av_slot_##name;
MORLUNEX_AV_CALLS(MORLUNEX_AV_SLOT_DECLARATION)

extern "C" __attribute__((visibility("hidden"))) void *morlunex_av_load(void *const *slot);

namespace {

// The libraries of the major versions the headers describe: their calls are the ones compiled
// against. Each one loads those it needs itself.
#define MORLUNEX_SONAME(library, major) "lib" #library ".so." #major
#define MORLUNEX_SONAME_OF(library, major) MORLUNEX_SONAME(library, major)
enum Library { avutil, swscale, avcodec, avformat, Libraries };
constexpr const char *kSonames[Libraries] = {
    MORLUNEX_SONAME_OF(avutil, LIBAVUTIL_VERSION_MAJOR), MORLUNEX_SONAME_OF(swscale, LIBSWSCALE_VERSION_MAJOR),
    MORLUNEX_SONAME_OF(avcodec, LIBAVCODEC_VERSION_MAJOR), MORLUNEX_SONAME_OF(avformat, LIBAVFORMAT_VERSION_MAJOR)};

struct Call
{
    Library library;
    const char *name;
    void **slot;
};

#define MORLUNEX_AV_CALL_ENTRY(library, name) {library, #name, &morlunex_av_slot_##name},
const Call kCalls[] = {MORLUNEX_AV_CALLS(MORLUNEX_AV_CALL_ENTRY)};

std::mutex guard;
bool in = false;                      // under guard; every slot holds its function once set
std::vector<void (*)()> readyCalls;   // under guard

// What could not be loaded, and why; empty when everything was. Slots are filled only once
// every call is found.
std::string loadAll()
{
    void *handles[Libraries];
    for (int library = 0; library < Libraries; ++library) {
        // Never unloaded: what they made lives as long as the process.
        handles[library] = dlopen(kSonames[library], RTLD_NOW | RTLD_GLOBAL);
        if (!handles[library]) {
            const char *why = dlerror();
            return std::string(kSonames[library]) + ": " + (why ? why : "unknown reason");
        }
    }
    void *functions[std::size(kCalls)];
    for (size_t index = 0; index < std::size(kCalls); ++index) {
        functions[index] = dlsym(handles[kCalls[index].library], kCalls[index].name);
        if (!functions[index])
            return std::string(kSonames[kCalls[index].library]) + " has no " + kCalls[index].name;
    }
    for (size_t index = 0; index < std::size(kCalls); ++index)
        __atomic_store_n(kCalls[index].slot, functions[index], __ATOMIC_RELEASE);
    return std::string();
}

// Under guard. What could not be loaded; empty once the libraries are in.
std::string loadOnce()
{
    if (in)
        return std::string();
    const std::string problem = loadAll();
    if (!problem.empty())
        return problem;
    in = true;
    for (void (*ready)() : readyCalls)
        ready();
    readyCalls.clear();
    return std::string();
}

// The thread of loadSoon(), waited for as the process ends (its statics go after this one). A
// library it cannot load is left to the call that needs it.
struct Loader
{
    std::thread thread{[] {
        std::lock_guard<std::mutex> lock(guard);
        loadOnce();
    }};
    ~Loader() { thread.join(); }
};

} // namespace

// A call cannot go on without the libraries the program was built against: it says which and
// why, and ends as the dynamic loader would have at the start (its encoders end with it).
void *morlunex_av_load(void *const *slot)
{
    std::lock_guard<std::mutex> lock(guard);
    const std::string problem = loadOnce();
    if (!problem.empty()) {
        std::fprintf(stderr, "%s: cannot load FFmpeg's libraries: %s\n", program_invocation_short_name, problem.c_str());
        std::fflush(stderr);
        _exit(127);
    }
    return __atomic_load_n(slot, __ATOMIC_ACQUIRE);
}

namespace AvLibraries {

bool loaded()
{
    std::lock_guard<std::mutex> lock(guard);
    return in;
}

void loadSoon()
{
    if (loaded())
        return;
    static Loader loader;
}

void whenLoaded(void (*ready)())
{
    {
        std::lock_guard<std::mutex> lock(guard);
        if (!in) {
            readyCalls.push_back(ready);
            return;
        }
    }
    ready();
}

} // namespace AvLibraries

#include "video_scaler_plan.h"

#include <algorithm>

namespace morwick {

using Plane = C2DLibrary::Plane;

// The smallest other output no larger than the input (and not the input's
// own size) that is at least twice as wide and high, with the same filter.
// A 2:1 step costs nothing in quality; smaller steps from an already scaled
// frame lose detail, and upscaled frames hold none the input lacks.
ScalerOutput* ChainSource(const ScalerOutput& output, const FrameSize& input, const ScalerOutputs& outputs) {
    const FrameSize target = output.Requested(input);
    ScalerOutput* best = nullptr;
    FrameSize best_size;
    for (const auto& candidate : outputs) {
        const FrameSize size = candidate->Requested(input);
        if (candidate.get() == &output || candidate->request.filter != output.request.filter) continue;
        if (size.width > input.width || size.height > input.height || size == input) continue;
        if (size.width < 2 * target.width || size.height < 2 * target.height) continue;
        if (!best || size.Area() < best_size.Area()) {
            best = candidate.get();
            best_size = size;
        }
    }
    return best;
}

void ChooseSources(const ScalerOutputs& outputs, const FrameSize& input) {
    for (const auto& output : outputs) {
        output->size = output->Requested(input);
        output->from = ChainSource(*output, input, outputs);
        output->needed = output->source->GetSinkCount() > 0;
    }
    for (const auto& output : outputs)
        if (output->needed)
            for (ScalerOutput* from = output->from; from; from = from->from) from->needed = true;
}

void SkipSourcesWithoutFrames(const ScalerOutputs& outputs) {
    for (const auto& output : outputs)
        while (output->from && !output->from->frame) output->from = output->from->from;
}

// The frame's work as tasks: each output's luma, its two chroma planes and
// their interleaving are independent of the other outputs' (except for
// chained ones, which wait for their source's planes).
std::vector<C2DLibrary::Task> PlanFrame(C2DLibrary& library, ScratchMemory& scratch,
                                        const ScalerOutputs& outputs, const Plane& input_y,
                                        const Plane& input_uv) {
    const int chroma_width = input_uv.width, chroma_height = input_uv.height;
    std::vector<C2DLibrary::Task> tasks;
    constexpr size_t NONE = SIZE_MAX;
    size_t split = NONE;
    Plane input_u{}, input_v{};  // the input's chroma, split once for every output scaled from it

    // Sources first, then larger outputs first: the costly work starts early.
    std::vector<ScalerOutput*> order;
    for (const auto& output : outputs)
        if (output->frame) order.push_back(output.get());
    const auto depth = [](const ScalerOutput* output) {
        int levels = 0;
        for (; output->from; output = output->from) ++levels;
        return levels;
    };
    std::stable_sort(order.begin(), order.end(), [&](const ScalerOutput* a, const ScalerOutput* b) {
        if (depth(a) != depth(b)) return depth(a) < depth(b);
        return a->size.Area() > b->size.Area();
    });

    struct Indices {
        size_t y = SIZE_MAX, u = SIZE_MAX, v = SIZE_MAX;
    };
    std::vector<std::pair<const ScalerOutput*, Indices>> made;
    const auto indices_of = [&](const ScalerOutput* output) {
        for (const auto& entry : made)
            if (entry.first == output) return entry.second;
        return Indices{};
    };
    const auto after = [](size_t index) { return index == SIZE_MAX ? std::vector<size_t>{} : std::vector<size_t>{index}; };

    // Planar chroma for every scaled output and, once, for the input.
    const auto copied = [&](const ScalerOutput* output) {
        return output->size.width == input_y.width && output->size.height == input_y.height;
    };
    const size_t input_chroma = ScratchMemory::Piece(static_cast<size_t>(chroma_width) * chroma_height);
    size_t planes = 0;
    bool split_input = false;
    for (const ScalerOutput* output : order) {
        if (copied(output)) continue;
        planes += 2 * ScratchMemory::Piece(static_cast<size_t>(output->size.width / 2) * (output->size.height / 2));
        split_input |= !output->from;
    }
    uint8_t* free_plane = scratch.Reserve(planes + (split_input ? 2 * input_chroma : 0));
    const auto take = [&free_plane](size_t bytes) {
        uint8_t* plane = free_plane;
        free_plane += ScratchMemory::Piece(bytes);
        return plane;
    };

    for (ScalerOutput* output : order) {
        uint8_t* base = output->frame->GetAddress();
        const int width = output->size.width, height = output->size.height;
        const int stride = static_cast<int>(output->format.stride);
        const Plane out_y{base, stride, width, height};
        const Plane out_uv{base + output->format.chroma_offset, stride, width / 2, height / 2};

        if (copied(output)) {
            tasks.push_back({[&library, input_y, out_y] { library.CopyPlane(input_y, out_y); }, {}});
            tasks.push_back({[&library, input_uv, out_uv] {
                                 library.CopyPlane({input_uv.data, input_uv.stride, input_uv.width * 2, input_uv.height},
                                                   {out_uv.data, out_uv.stride, out_uv.width * 2, out_uv.height});
                             },
                             {}});
            continue;
        }
        const size_t chroma_size = static_cast<size_t>(width / 2) * (height / 2);
        output->u = take(chroma_size);
        output->v = take(chroma_size);
        const Plane out_u{output->u, width / 2, width / 2, height / 2};
        const Plane out_v{output->v, width / 2, width / 2, height / 2};

        Plane src_y = input_y, src_u, src_v;
        Indices src;
        if (output->from) {
            const ScalerOutput& from = *output->from;
            src_y = {from.frame->GetAddress(), static_cast<int>(from.format.stride), from.size.width, from.size.height};
            const int cw = from.size.width / 2, ch = from.size.height / 2;
            src_u = {from.u, cw, cw, ch};
            src_v = {from.v, cw, cw, ch};
            src = indices_of(&from);
        } else {
            if (split == NONE) {
                input_u = {take(input_chroma), chroma_width, chroma_width, chroma_height};
                input_v = {take(input_chroma), chroma_width, chroma_width, chroma_height};
                split = tasks.size();
                tasks.push_back({[&library, input_uv, u = input_u, v = input_v] { library.SplitChroma(input_uv, u, v); },
                                 {}});
            }
            src_u = input_u;
            src_v = input_v;
            src = {NONE, split, split};
        }
        const auto filter = static_cast<C2DLibrary::Filter>(output->request.filter);
        Indices own;
        own.y = tasks.size();
        tasks.push_back({[&library, src_y, out_y, filter] { library.ScalePlane(src_y, out_y, filter); }, after(src.y)});
        own.u = tasks.size();
        tasks.push_back({[&library, src_u, out_u, filter] { library.ScalePlane(src_u, out_u, filter); }, after(src.u)});
        own.v = tasks.size();
        tasks.push_back({[&library, src_v, out_v, filter] { library.ScalePlane(src_v, out_v, filter); }, after(src.v)});
        tasks.push_back({[&library, out_u, out_v, out_uv] { library.MergeChroma(out_u, out_v, out_uv); }, {own.u, own.v}});
        made.emplace_back(output, own);
    }
    return tasks;
}

}  // namespace morwick

// tessaron.predict_many: every genome of a population on its own rows, in one call.
#include <algorithm>
#include <limits>
#include <memory>
#include <vector>

#include "common/thread_pool.hpp"
#include "module/array_conversion.hpp"
#include "module/genome.hpp"
#include "module/gil.hpp"
#include "module/model.hpp"
#include "module/module_functions.hpp"
#include "module/prediction.hpp"

namespace tessaron {
namespace {

// Rows of one genome per item when the work is spread over the worker threads. Each row is
// evaluated by one thread, so the results are those of a single thread.
constexpr npy_intp rows_per_item = 8 * forward_block_size;

// What predict_many reads of each genome: its network, and where its inputs are recorded.
struct Member {
    std::shared_ptr<const Network> network;
    std::shared_ptr<InputStatistics> seen;
};

// The network of genomes[index], refused as its own predict would refuse it.
Member member_network(PyObject* item, Py_ssize_t index) {
    std::shared_ptr<const Network> network;
    std::shared_ptr<InputStatistics> seen;
    std::int32_t outputs = 0;
    if (PyObject_TypeCheck(item, &Genome_Type)) {
        const GenomeState& state = genome_state(item);
        network = state.network;
        seen = state.seen_inputs;
        outputs = state.outputs;
    } else if (PyObject_TypeCheck(item, &Model_Type)) {
        const ModelState& state = model_state(item);
        network = state.network;
        outputs = state.outputs;
    } else {
        raise_format(PyExc_TypeError, "genomes[%zd] must be a Genome or a Model, got %s", index,
                     Py_TYPE(item)->tp_name);
    }
    if (network->size == 0)
        raise_format(PyExc_ValueError, "genomes[%zd] is empty: it has no nodes to predict with",
                     index);
    if (network->outputs != outputs)
        raise_format(PyExc_ValueError,
                     "genomes[%zd]: the declared number of outputs (%d) differs from the "
                     "network's (%d)",
                     index, outputs, network->outputs);
    return {std::move(network), std::move(seen)};
}

// The networks of every item of `genomes`, which must agree in their input and output counts,
// and where each records its inputs (null where it does not).
std::vector<std::shared_ptr<const Network>> population_networks(
    PyObject* genomes, std::vector<std::shared_ptr<InputStatistics>>& seen) {
    const PyRef items = PyRef::steal(PySequence_Fast(genomes, "genomes must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(items.get());
    if (count == 0)
        raise(PyExc_ValueError,
              "genomes is empty: predict_many needs at least one Genome or Model");
    std::vector<std::shared_ptr<const Network>> networks;
    networks.reserve(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
        Member member = member_network(PySequence_Fast_GET_ITEM(items.get(), i), i);
        networks.push_back(std::move(member.network));
        seen.push_back(std::move(member.seen));
        const Network& first = *networks.front();
        const Network& network = *networks.back();
        if (network.inputs != first.inputs || network.outputs != first.outputs)
            raise_format(PyExc_ValueError,
                         "genomes[%zd] has %d inputs and %d outputs, but genomes[0] has %d inputs "
                         "and %d outputs",
                         i, network.inputs, network.outputs, first.inputs, first.outputs);
    }
    return networks;
}

// x as float64 that the kernel reads where it lies: native and aligned, the values of one sample
// adjacent, the samples of one genome a whole, non-negative number of doubles apart. Anything
// else becomes a new C-ordered float64 array through numpy's general conversion. The reference
// returned is held for the whole call, so that x can be neither freed nor resized while the
// interpreter lock is released (numpy refuses to resize an array referenced from elsewhere);
// a write into it by another thread meanwhile is that thread's race, as with numpy's own
// functions.
PyRef readable_doubles(PyArrayObject* x) {
    const int dimensions = PyArray_NDIM(x);
    const npy_intp samples = dimensions == 3 ? PyArray_DIM(x, 1) : 1;
    const npy_intp sample_stride = dimensions == 3 ? PyArray_STRIDE(x, 1) : 0;
    const bool adjacent =
        PyArray_DIM(x, dimensions - 1) <= 1 || PyArray_STRIDE(x, dimensions - 1) == sizeof(double);
    const bool whole = samples <= 1 || (sample_stride >= 0 && sample_stride % sizeof(double) == 0);
    if (holds_native_doubles(x) && adjacent && whole)
        return PyRef::borrow(reinterpret_cast<PyObject*>(x));
    return PyRef::steal(
        PyArray_FromAny(reinterpret_cast<PyObject*>(x), PyArray_DescrFromType(NPY_DOUBLE), 0, 0,
                        NPY_ARRAY_C_CONTIGUOUS | NPY_ARRAY_ALIGNED | NPY_ARRAY_FORCECAST, nullptr));
}

// Refuses x unless it holds one row (or one block of samples) per genome, wide enough.
npy_intp checked_samples(PyArrayObject* x,
                         const std::vector<std::shared_ptr<const Network>>& networks) {
    const int dimensions = PyArray_NDIM(x);
    const auto count = static_cast<npy_intp>(networks.size());
    const std::int32_t inputs = networks.front()->inputs;
    const npy_intp rows = PyArray_DIM(x, 0);
    const npy_intp samples = dimensions == 3 ? PyArray_DIM(x, 1) : 1;
    const npy_intp columns = PyArray_DIM(x, dimensions - 1);
    if (rows != count)
        raise_format(PyExc_ValueError,
                     "the first dimension of x (%zd) differs from the number of genomes (%zd)",
                     static_cast<Py_ssize_t>(rows), static_cast<Py_ssize_t>(count));
    if (columns < inputs)
        raise_format(PyExc_ValueError, "x has %zd columns, but the genomes have %d inputs",
                     static_cast<Py_ssize_t>(columns), inputs);
    if (samples > std::numeric_limits<std::int32_t>::max())
        raise_format(PyExc_ValueError, "x has %zd samples per genome; at most %d are supported",
                     static_cast<Py_ssize_t>(samples), std::numeric_limits<std::int32_t>::max());
    return samples;
}

// Fills `out` (genome, sample, output) with every genome's predictions of its own samples, in
// chunks of rows spread over the worker threads without the interpreter lock where it pays.
void predict_each(const std::vector<std::shared_ptr<const Network>>& networks, PyArrayObject* x,
                  npy_intp samples, double* out) {
    const char* data = static_cast<const char*>(PyArray_DATA(x));
    const npy_intp genome_stride = PyArray_STRIDE(x, 0);
    const std::size_t sample_stride =
        PyArray_NDIM(x) == 3 && samples > 1
            ? static_cast<std::size_t>(PyArray_STRIDE(x, 1)) / sizeof(double)
            : 0;
    const std::int32_t outputs = networks.front()->outputs;
    const npy_intp chunks = samples == 0 ? 0 : (samples + rows_per_item - 1) / rows_per_item;
    double work = 0;
    for (const auto& network : networks) work += static_cast<double>(samples) * network->size;
    const auto run = [&](std::size_t item, int) {
        const auto genome = static_cast<npy_intp>(item) / chunks;
        const npy_intp first = static_cast<npy_intp>(item) % chunks * rows_per_item;
        const auto rows_here = static_cast<std::int32_t>(std::min(rows_per_item, samples - first));
        const auto* genome_x = reinterpret_cast<const double*>(data + genome * genome_stride);
        predict_rows(
            *networks[static_cast<std::size_t>(genome)],
            genome_x + static_cast<std::size_t>(first) * sample_stride, sample_stride, rows_here,
            out + (static_cast<std::size_t>(genome) * samples + first) * outputs, thread_scratch());
    };
    const auto items = networks.size() * static_cast<std::size_t>(chunks);
    // The caller holds the networks and x; nothing here touches a Python object.
    GilRelease unlocked;
    if (work >= unlocked_work) {
        parallel_for(items, run);
    } else {
        for (std::size_t item = 0; item < items; ++item) run(item, 0);
    }
}

// Adds each recording genome's rows of x to its record.
void record_inputs(const std::vector<std::shared_ptr<InputStatistics>>& seen, PyArrayObject* x,
                   npy_intp samples, std::int32_t inputs) {
    const char* data = static_cast<const char*>(PyArray_DATA(x));
    const std::size_t sample_stride =
        PyArray_NDIM(x) == 3 && samples > 1
            ? static_cast<std::size_t>(PyArray_STRIDE(x, 1)) / sizeof(double)
            : 0;
    for (std::size_t g = 0; g < seen.size(); ++g)
        if (seen[g] != nullptr)
            add_input_rows(*seen[g],
                           reinterpret_cast<const double*>(data + static_cast<npy_intp>(g) *
                                                                      PyArray_STRIDE(x, 0)),
                           sample_stride, static_cast<std::int32_t>(samples), inputs);
}

PyObject* predict_many(PyObject* genomes, PyObject* x_object) {
    if (!PyArray_Check(x_object))
        raise_format(PyExc_TypeError, "x must be a numpy array, got %s",
                     Py_TYPE(x_object)->tp_name);
    auto* x_given = reinterpret_cast<PyArrayObject*>(x_object);
    const int dimensions = PyArray_NDIM(x_given);
    if (dimensions != 2 && dimensions != 3)
        raise_format(PyExc_ValueError,
                     "x must have 2 dimensions (genomes, inputs) or 3 (genomes, samples, inputs), "
                     "got %d",
                     dimensions);
    if (!PySequence_Check(genomes))
        raise_format(PyExc_TypeError,
                     "genomes must be a sequence of Genome or Model objects, got %s",
                     Py_TYPE(genomes)->tp_name);
    std::vector<std::shared_ptr<InputStatistics>> seen;
    const std::vector<std::shared_ptr<const Network>> networks = population_networks(genomes, seen);
    const npy_intp samples = checked_samples(x_given, networks);
    const PyRef held = readable_doubles(x_given);
    record_inputs(seen, reinterpret_cast<PyArrayObject*>(held.get()), samples,
                  networks.front()->inputs);
    const npy_intp outputs = networks.front()->outputs;
    const npy_intp shape[3] = {static_cast<npy_intp>(networks.size()),
                               dimensions == 3 ? samples : outputs, outputs};
    PyRef result = new_unfilled_array(dimensions, shape);
    predict_each(
        networks, reinterpret_cast<PyArrayObject*>(held.get()), samples,
        static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(result.get()))));
    return result.release();
}

}  // namespace

PyObject* module_predict_many(PyObject*, PyObject* args, PyObject* kwargs) {
    static const char* keywords[] = {"genomes", "x", nullptr};
    PyObject *genomes = nullptr, *x = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:predict_many", const_cast<char**>(keywords),
                                     &genomes, &x))
        return nullptr;
    return guarded([&] { return predict_many(genomes, x); });
}

}  // namespace tessaron

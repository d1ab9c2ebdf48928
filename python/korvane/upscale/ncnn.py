"""ncnn models (a text ``.param`` and its ``.bin``) as ONNX graphs, built in memory for ONNX Runtime.

:func:`convert` reads the two files as ncnn's developer guide describes them ("param and model
file structure", "operation param weight table", "operators") and builds an equivalent ONNX
graph with ``onnx.helper``: NCHW, float32, with a dynamic batch, height and width (dimensions
named ``n``, ``h`` and ``w``). The result, an :class:`NcnnGraph`, holds the graph and what the
tile engine needs to know about the model: its scale, its margin (``context``) and its channels.

The ``.param`` file
    Line 1 is the magic number 7767517, line 2 the layer and blob counts, then one line per
    layer: type, name, input count, output count, the input and output blob names, then
    ``key=value`` parameters. A key from 0 up is a scalar (an int, or a float when it has a
    point or an exponent); a key of -23300 - i is array parameter i, written as its length
    then its elements (``-23310=1,0.1``). The newer spelling of an array (``3=2.0,3.0``) and
    string values are read too.

The ``.bin`` file
    The weights of the layers, in layer order, each buffer padded to 4 bytes. A buffer the
    operator table types "float/fp16/int8" (a convolution's or inner product's weights) starts
    with a 4-byte little-endian tag: 0 for float32, 0x01306B47 for float16, 0x01348B83 for
    bfloat16 (any other tag is an int8 quantisation, refused here). A buffer typed "float" (a
    bias, PReLU slopes, Scale factors) has no tag and is float32. Weights become float32
    initializers, so the graph runs in float32 whatever the file stores.

Blobs are 4-d: an ncnn 3-d blob (c, h, w) is an NCHW tensor, and a 1-d blob (what global pooling
and inner products make) is an (n, c, 1, 1) one, so that ncnn's per-channel broadcasting is
NumPy's. An ncnn axis ``a`` (0 = channels) is ONNX axis ``a + 1``; negative axes count from the
end in both.
"""

import math
import os
from fractions import Fraction
from functools import cached_property

import numpy

__all__ = ["LAYERS", "NcnnError", "NcnnGraph", "convert"]

MAGIC = 7767517
FLOAT32_TAG, FLOAT16_TAG, BFLOAT16_TAG = 0, 0x01306B47, 0x01348B83
OPSET = 17
INSTALL_HINT = 'pip install "korvane[models]"'

# ncnn's "SAME" paddings, written as a pad value: TensorFlow's SAME (extra at the end) and ONNX's SAME_LOWER.
_SAME = {-233: "SAME_UPPER", -234: "SAME_LOWER"}
# An end of "up to the last element" in Crop's starts/ends form.
_TO_END = 2**31 - 1
# The storage tags of a tagged weight buffer, as NumPy reads each (bfloat16 as its bits).
_TAGGED = {FLOAT32_TAG: "<f4", FLOAT16_TAG: "<f2", BFLOAT16_TAG: "<u2"}


class NcnnError(ValueError):
    """A ``.param``/``.bin`` pair that is malformed, or uses a layer or option korvane does not convert."""


# ---- the .param file -----------------------------------------------------------------------


class _Layer:
    """One layer line: its type, name, blob names, parameters, and where it was read."""

    def __init__(self, kind, name, inputs, outputs, params, path, line):
        self.kind, self.name, self.inputs, self.outputs = kind, name, inputs, outputs
        self.params, self.path, self.line = params, path, line

    def error(self, what):
        return NcnnError(f"{self.path}, line {self.line}: layer {self.name!r} ({self.kind}): {what}")

    def get(self, key, default, kind=int):
        """Parameter ``key`` as an int (or a float, ``kind=float``), ``default`` where the line leaves it out."""
        value = self.params.get(key, default)
        if kind is float and isinstance(value, int):
            return float(value)
        if not isinstance(value, kind):
            raise self.error(f"parameter {key} must be {'an int' if kind is int else 'a number'}, got {value!r}")
        return value

    def array(self, key, kind=float):
        value = self.params.get(key, [])
        if not isinstance(value, list) or not all(isinstance(v, (int, kind)) for v in value):
            raise self.error(f"parameter {key} must be an array of {kind.__name__}s, got {value!r}")
        return [kind(v) for v in value]

    def refuse(self, key, default, what):
        """NcnnError where parameter ``key`` is set to anything but ``default``: an option korvane does not convert."""
        if self.params.get(key, default) != default:
            raise self.error(f"{what} (parameter {key}={self.params[key]!r}) is not supported")


def _number(text):
    """A parameter value: an int, a float (a point or an exponent), or, failing both, a string."""
    try:
        return int(text)
    except ValueError:
        pass
    try:
        return float(text)
    except ValueError:
        return text


def _params(tokens, where):
    params = {}
    for token in tokens:
        key, sep, text = token.partition("=")
        try:
            key = int(key)
        except ValueError:
            key = None
        if not sep or key is None or -23300 < key < 0 or not text:
            raise NcnnError(f"{where}: expected a key=value parameter, got {token!r}")
        if key <= -23300:  # -23300 - i: array i, its length first
            key = -23300 - key
            count, *values = text.split(",")
            if not count.isdigit() or int(count) != len(values):
                raise NcnnError(f"{where}: array parameter {token!r} does not hold the count it starts with")
            value = [_number(v) for v in values]
        elif "," in text:
            value = [_number(v) for v in text.split(",")]
        else:
            value = _number(text)
        if key in params:
            raise NcnnError(f"{where}: parameter {key} is given twice")
        params[key] = value
    return params


def _read_param(path):
    """The layers of a text ``.param`` file, checked for form and for blobs read before they are written."""
    path = str(path)
    with open(path, encoding="utf-8", errors="replace") as file:
        lines = [(n, line.split()) for n, line in enumerate(file, 1)]
    lines = [(n, words) for n, words in lines if words]
    if not lines or lines[0][1] != [str(MAGIC)]:
        got = " ".join(lines[0][1])[:40] if lines else "an empty file"
        line = lines[0][0] if lines else 1
        raise NcnnError(f"{path}, line {line}: expected ncnn's magic number {MAGIC}, got {got!r}")
    if len(lines) < 2 or len(lines[1][1]) != 2 or not all(w.isdigit() for w in lines[1][1]):
        got = " ".join(lines[1][1])[:40] if len(lines) > 1 else "the end of the file"
        raise NcnnError(
            f"{path}, line {lines[1][0] if len(lines) > 1 else 2}: expected the layer and blob counts, got {got!r}"
        )
    layer_count, blob_count = map(int, lines[1][1])
    layers, written = [], set()
    for n, words in lines[2:]:
        where = f"{path}, line {n}"
        if len(words) < 4 or not words[2].isdigit() or not words[3].isdigit():
            raise NcnnError(
                f"{where}: expected a layer: type, name, input count, output count, blobs, got {' '.join(words)!r}"
            )
        kind, name, count_in, count_out = words[0], words[1], int(words[2]), int(words[3])
        blobs = words[4 : 4 + count_in + count_out]
        if len(blobs) < count_in + count_out or any("=" in b for b in blobs):
            raise NcnnError(
                f"{where}: layer {name!r} names fewer blobs than its {count_in} input(s) and {count_out} output(s)"
            )
        inputs, outputs = blobs[:count_in], blobs[count_in:]
        for blob in inputs:
            if blob not in written:
                raise NcnnError(f"{where}: layer {name!r} reads blob {blob!r}, which no layer above writes")
        for blob in outputs:
            if blob in written:
                raise NcnnError(f"{where}: layer {name!r} writes blob {blob!r}, which a layer above writes already")
            written.add(blob)
        layers.append(_Layer(kind, name, inputs, outputs, _params(words[4 + count_in + count_out :], where), path, n))
    if len(layers) != layer_count or len(written) != blob_count:
        raise NcnnError(
            f"{path}, line {lines[1][0]}: the header says {layer_count} layers and {blob_count} blobs, "
            f"the file has {len(layers)} layers and {len(written)} blobs"
        )
    return layers


# ---- the .bin file -------------------------------------------------------------------------


class _Weights:
    """The ``.bin`` file, read front to back as the layers ask for their buffers."""

    def __init__(self, path):
        self.path = str(path)
        with open(self.path, "rb") as file:
            self.data = file.read()
        self.at = 0

    def _take(self, layer, nbytes):
        if self.at + nbytes > len(self.data):
            raise NcnnError(
                f"{self.path}: ends after {len(self.data)} bytes, but layer {layer.name!r} ({layer.kind}) needs "
                f"{nbytes} more from byte {self.at} (is it the .bin of this .param?)"
            )
        start, self.at = self.at, self.at + nbytes
        return start

    def load(self, layer, count, tagged):
        """``count`` float32 values; ``tagged``: the buffer starts with its storage tag."""
        if count < 0:
            raise layer.error(f"expected a weight count of 0 or more, got {count}")
        dtype = "<f4"
        if tagged:
            tag = int.from_bytes(self.data[self._take(layer, 4) : self.at], "little")
            if tag not in _TAGGED:
                raise layer.error(
                    f"weights stored with tag {tag:#010x} (int8 quantised?); korvane reads float32, float16 and "
                    "bfloat16 weights"
                )
            dtype = _TAGGED[tag]
        size = numpy.dtype(dtype).itemsize * count
        values = numpy.frombuffer(self.data, dtype, count, self._take(layer, size))
        self.at = min(len(self.data), -(-self.at // 4) * 4)  # each buffer is padded to 4 bytes
        if dtype == "<u2":  # bfloat16: the top half of a float32
            return (values.astype(numpy.uint32) << 16).view(numpy.float32)
        return values.astype(numpy.float32)

    def finish(self):
        if self.at != len(self.data):
            raise NcnnError(
                f"{self.path}: {len(self.data) - self.at} bytes are left after the last layer's weights "
                "(is it the .bin of this .param?)"
            )


# ---- the ONNX graph ------------------------------------------------------------------------


class _Builder:
    """The nodes and initializers of the graph being built; names each value after its layer."""

    def __init__(self, helper, numpy_helper):
        self.helper, self.numpy_helper = helper, numpy_helper
        self.nodes, self.initializers = [], []
        self.count = 0

    def _name(self, hint):
        self.count += 1
        return f"{hint}.{self.count}"

    def const(self, hint, values, dtype=numpy.float32):
        name = self._name(hint)
        self.initializers.append(self.numpy_helper.from_array(numpy.asarray(values, dtype), name))
        return name

    def op(self, op_type, inputs, hint, **attributes):
        output = self._name(hint)
        self.nodes.append(self.helper.make_node(op_type, list(inputs), [output], name=output, **attributes))
        return output


def _activate(b, layer, x):
    """The activation an ncnn layer fuses: parameter 9 (its type) and array 10 (its parameters)."""
    kind, args = layer.get(9, 0), layer.array(10)

    def arg(i, default):
        return args[i] if len(args) > i else default

    if kind == 0:
        return x
    if kind == 1:
        return b.op("Relu", [x], layer.name)
    if kind == 2:
        return b.op("LeakyRelu", [x], layer.name, alpha=arg(0, 0.0))
    if kind == 3:
        low, high = b.const(layer.name, arg(0, -math.inf)), b.const(layer.name, arg(1, math.inf))
        return b.op("Clip", [x, low, high], layer.name)
    if kind == 4:
        return b.op("Sigmoid", [x], layer.name)
    if kind == 5:  # Mish, x·tanh(softplus(x)), spelt out: ONNX's own Mish needs opset 18
        return b.op("Mul", [x, b.op("Tanh", [b.op("Softplus", [x], layer.name)], layer.name)], layer.name)
    if kind == 6:  # HardSwish, x·clamp(αx + β, 0, 1)
        gate = b.op("HardSigmoid", [x], layer.name, alpha=arg(0, 0.2), beta=arg(1, 0.5))
        return b.op("Mul", [x, gate], layer.name)
    raise layer.error(
        f"activation type {kind} is not supported (korvane supports 0 to 6: none, ReLU, leaky ReLU, "
        "clip, sigmoid, mish, hard swish)"
    )


def _window(layer, deconvolution=False):
    """Kernel, dilation, stride and pads (top, left, bottom, right) of a (de)convolution, ncnn's defaults filled in."""
    kw = layer.get(1, 0)
    dw, sw, left = layer.get(2, 1), layer.get(3, 1), layer.get(4, 0)
    kernel, dilation, stride = (layer.get(11, kw), kw), (layer.get(12, dw), dw), (layer.get(13, sw), sw)
    top = layer.get(14, left)
    pads = (top, left, layer.get(16, top), layer.get(15, left))
    if min(kernel + stride + dilation) < 1:
        raise layer.error(f"expected kernel, stride and dilation of 1 or more, got {kernel}, {stride}, {dilation}")
    if any(p < 0 for p in pads) and (deconvolution or set(pads) - set(_SAME)):
        raise layer.error(f"pads {pads} are not supported")
    return kernel, dilation, stride, pads


def _conv_weights(layer, weights, group):
    """The weights and bias of a convolution-like layer, and its input channel count."""
    out_c, size = layer.get(0, 0), layer.get(6, 0)
    kernel = _window(layer)[0]
    per_input = out_c * kernel[0] * kernel[1] // max(group, 1)
    if out_c < 1 or group < 1 or out_c % group or size < 1 or size % per_input:
        raise layer.error(
            f"weight_data_size {size} does not fit num_output {out_c}, kernel {kernel[0]}x{kernel[1]} and group {group}"
        )
    weight = weights.load(layer, size, tagged=True)
    bias = weights.load(layer, out_c, tagged=False) if layer.get(5, 0) else None
    return weight, bias, size // per_input


def _convolution(b, layer, xs, weights):
    layer.refuse(8, 0, "int8 quantisation")
    layer.refuse(19, 0, "a weight given as a second input")
    group = layer.get(7, 1) if layer.kind == "ConvolutionDepthWise" else 1
    weight, bias, in_c = _conv_weights(layer, weights, group)
    kernel, dilation, stride, pads = _window(layer)
    out_c = layer.get(0, 0)
    names = [xs[0], b.const(layer.name, weight.reshape(out_c, in_c // group, *kernel))]
    if bias is not None:
        names.append(b.const(layer.name, bias))
    shape = dict(kernel_shape=kernel, dilations=dilation, strides=stride, group=group)
    if pads[0] in _SAME:
        return [_activate(b, layer, b.op("Conv", names, layer.name, auto_pad=_SAME[pads[0]], **shape))]
    value = layer.get(18, 0.0, float)
    if value:  # padded with a constant other than 0: ONNX's Conv pads with zeros only
        pad_list = b.const(layer.name, [0, 0, pads[0], pads[1], 0, 0, pads[2], pads[3]], numpy.int64)
        names[0] = b.op("Pad", [xs[0], pad_list, b.const(layer.name, value)], layer.name, mode="constant")
        pads = (0, 0, 0, 0)
    return [_activate(b, layer, b.op("Conv", names, layer.name, pads=pads, **shape))]


def _deconvolution(b, layer, xs, weights):
    layer.refuse(20, 0, "a fixed output size")
    layer.refuse(21, layer.get(20, 0), "a fixed output size")
    group = layer.get(7, 1) if layer.kind == "DeconvolutionDepthWise" else 1
    weight, bias, in_c = _conv_weights(layer, weights, group)
    kernel, dilation, stride, pads = _window(layer, deconvolution=True)
    out_c = layer.get(0, 0)
    # ncnn keeps (group, out, in) order; ONNX's ConvTranspose wants (group·in, out) weights.
    weight = weight.reshape(group, out_c // group, in_c // group, *kernel).transpose(0, 2, 1, 3, 4)
    names = [xs[0], b.const(layer.name, weight.reshape(in_c, out_c // group, *kernel))]
    if bias is not None:
        names.append(b.const(layer.name, bias))
    right = layer.get(18, 0)
    extra = (layer.get(19, right), right)
    y = b.op(
        "ConvTranspose",
        names,
        layer.name,
        kernel_shape=kernel,
        dilations=dilation,
        strides=stride,
        group=group,
        pads=pads,
        output_padding=extra,
    )
    return [_activate(b, layer, y)]


def _inner_product(b, layer, xs, weights):
    layer.refuse(8, 0, "int8 quantisation")
    out_c, size = layer.get(0, 0), layer.get(2, 0)
    if out_c < 1 or size % out_c:
        raise layer.error(f"weight_data_size {size} is not a multiple of num_output {out_c}")
    names = [b.op("Flatten", [xs[0]], layer.name, axis=1)]
    names.append(b.const(layer.name, weights.load(layer, size, tagged=True).reshape(out_c, size // out_c)))
    if layer.get(1, 0):
        names.append(b.const(layer.name, weights.load(layer, out_c, tagged=False)))
    y = b.op("Gemm", names, layer.name, transB=1)
    return [_activate(b, layer, b.op("Reshape", [y, b.const(layer.name, [0, -1, 1, 1], numpy.int64)], layer.name))]


def _per_channel(values):
    """ncnn's per-channel weights as a (c, 1, 1) array, one shared value as (1, 1, 1)."""
    return values.reshape(-1, 1, 1)


def _prelu(b, layer, xs, weights):
    count = layer.get(0, 0)
    if count < 1:
        raise layer.error(f"expected num_slope of 1 or more, got {count}")
    slope = _per_channel(weights.load(layer, count, tagged=False))
    return [b.op("PRelu", [xs[0], b.const(layer.name, slope)], layer.name)]


def _scale(b, layer, xs, weights):
    size = layer.get(0, 0)
    if size == -233:  # the factors are the second input
        return [b.op("Mul", xs[:2], layer.name)]
    if size < 1:
        raise layer.error(f"expected scale_data_size of 1 or more, or -233, got {size}")
    y = b.op("Mul", [xs[0], b.const(layer.name, _per_channel(weights.load(layer, size, tagged=False)))], layer.name)
    if layer.get(1, 0):
        y = b.op("Add", [y, b.const(layer.name, _per_channel(weights.load(layer, size, tagged=False)))], layer.name)
    return [y]


def _eltwise(b, layer, xs, weights):
    kind, coeffs = layer.get(0, 0), layer.array(1)
    if kind not in (0, 1, 2):
        raise layer.error(f"operation {kind} is not supported (korvane supports 0 PROD, 1 SUM, 2 MAX)")
    if kind == 0:  # ONNX's Mul takes two inputs
        y = xs[0]
        for x in xs[1:]:
            y = b.op("Mul", [y, x], layer.name)
        return [y]
    if kind == 2 or not coeffs:
        return [b.op("Sum" if kind == 1 else "Max", xs, layer.name)]
    if len(coeffs) != len(xs):
        raise layer.error(f"expected one coefficient per input ({len(xs)}), got {len(coeffs)}")
    terms = [x if c == 1 else b.op("Mul", [x, b.const(layer.name, c)], layer.name) for x, c in zip(xs, coeffs)]
    return [b.op("Sum", terms, layer.name)]


_BINARY = ("Add", "Sub", "Mul", "Div", "Max", "Min", "Pow", "Sub", "Div")


def _binary_op(b, layer, xs, weights):
    kind = layer.get(0, 0)
    if not 0 <= kind < len(_BINARY):
        raise layer.error(
            f"operation {kind} is not supported (korvane supports 0 to 8: ADD, SUB, MUL, DIV, MAX, MIN, "
            "POW, RSUB, RDIV)"
        )
    if layer.get(1, 0):  # with_scalar: the second operand is parameter 2
        xs = [xs[0], b.const(layer.name, layer.get(2, 0.0, float))]
    elif len(xs) != 2:
        raise layer.error(f"expected 2 inputs, or with_scalar=1 and 1 input, got {len(xs)}")
    if kind >= 7:  # RSUB, RDIV: b - a, b / a
        xs = xs[::-1]
    return [b.op(_BINARY[kind], xs[:2], layer.name)]


def _interp(b, layer, xs, weights):
    kind = layer.get(0, 0)
    layer.refuse(5, 0, "a size taken from a second input")
    corners = layer.get(6, 0)
    if kind == 1:
        modes = dict(mode="nearest", coordinate_transformation_mode="asymmetric", nearest_mode="floor")
    elif kind in (2, 3):
        modes = dict(
            mode="linear" if kind == 2 else "cubic",
            coordinate_transformation_mode="align_corners" if corners else "half_pixel",
        )
        if kind == 3:
            modes["cubic_coeff_a"] = -0.75
    else:
        raise layer.error(f"resize type {kind} is not supported (korvane supports 1 nearest, 2 bilinear, 3 bicubic)")
    height, width = layer.get(3, 0), layer.get(4, 0)
    if height or width:
        if height < 1 or width < 1:
            raise layer.error(f"expected both output_height and output_width, got {height} and {width}")
        shape = b.op("Shape", [xs[0]], layer.name, start=0, end=2)
        sizes = b.op("Concat", [shape, b.const(layer.name, [height, width], numpy.int64)], layer.name, axis=0)
        return [b.op("Resize", [xs[0], "", "", sizes], layer.name, **modes)]
    scales = [1.0, 1.0, layer.get(1, 1.0, float), layer.get(2, 1.0, float)]
    if min(scales) <= 0:
        raise layer.error(f"expected positive scales, got {scales[2]} and {scales[3]}")
    return [b.op("Resize", [xs[0], "", b.const(layer.name, scales)], layer.name, **modes)]


def _pixel_shuffle(b, layer, xs, weights):
    factor, mode = layer.get(0, 1), layer.get(1, 0)
    if factor < 1 or mode not in (0, 1):
        raise layer.error(f"expected an upscale_factor of 1 or more and mode 0 or 1, got {factor} and {mode}")
    # Mode 0 takes channels in (outc, sh, sw) order, PyTorch's pixel_shuffle; mode 1 in (sh, sw, outc).
    return [b.op("DepthToSpace", xs, layer.name, blocksize=factor, mode=("CRD", "DCR")[mode])]


def _onnx_axis(axis):
    return axis + 1 if axis >= 0 else axis


def _concat(b, layer, xs, weights):
    return [b.op("Concat", xs, layer.name, axis=_onnx_axis(layer.get(0, 0)))]


def _pooling(b, layer, xs, weights):
    kind = layer.get(0, 0)
    if kind not in (0, 1):
        raise layer.error(f"pooling type {kind} is not supported (korvane supports 0 MAX, 1 AVG)")
    layer.refuse(7, 0, "adaptive pooling")
    if layer.get(4, 0):
        return [b.op(("GlobalMaxPool", "GlobalAveragePool")[kind], xs, layer.name)]
    kw, sw, left = layer.get(1, 0), layer.get(2, 1), layer.get(3, 0)
    top = layer.get(13, left)
    pads = (top, left, layer.get(15, top), layer.get(14, left))
    kernel, stride, mode = (layer.get(11, kw), kw), (layer.get(12, sw), sw), layer.get(5, 0)
    if min(kernel + stride) < 1 or min(pads) < 0 or mode not in (0, 1, 2, 3):
        raise layer.error(
            f"expected a kernel and stride of 1 or more, pads of 0 or more and pad_mode 0 to 3, got "
            f"{kernel}, {stride}, {pads} and {mode}"
        )
    shape = dict(kernel_shape=kernel, strides=stride)
    if mode >= 2:
        shape["auto_pad"] = ("SAME_UPPER", "SAME_LOWER")[mode - 2]
    else:  # 0, ncnn's "full" padding, rounds the output size up; 1, "valid", down
        shape.update(pads=pads, ceil_mode=1 - mode)
    if kind == 1:
        shape["count_include_pad"] = layer.get(6, 0)
    return [b.op(("MaxPool", "AveragePool")[kind], xs, layer.name, **shape)]


def _crop(b, layer, xs, weights):
    if len(xs) == 2:  # crop to the size of the second input, from the offsets
        starts = b.const(layer.name, [layer.get(2, 0), layer.get(1, 0), layer.get(0, 0)], numpy.int64)
        size = b.op("Shape", [xs[1]], layer.name, start=1, end=4)
        ends = b.op("Add", [starts, size], layer.name)
        return [b.op("Slice", [xs[0], starts, ends, b.const(layer.name, [1, 2, 3], numpy.int64)], layer.name)]
    starts, ends = layer.array(9, int), layer.array(10, int)
    if starts or ends:
        axes = layer.array(11, int) or list(range(len(starts)))
        if not len(starts) == len(ends) == len(axes):
            raise layer.error(f"expected as many starts, ends and axes, got {len(starts)}, {len(ends)}, {len(axes)}")
        ends = [_TO_END if e == -233 else e for e in ends]
        axes = [_onnx_axis(a) for a in axes]
    else:  # offsets from each side, or from the start with a size
        axes, starts, ends = [1, 2, 3], [], []
        for offset, out, offset2 in ((2, 5, 8), (1, 4, 7), (0, 3, 6)):
            start, size, back = layer.get(offset, 0), layer.get(out, 0), layer.get(offset2, 0)
            starts.append(start)
            ends.append(start + size if size > 0 else -back if back > 0 else _TO_END)
    names = [b.const(layer.name, v, numpy.int64) for v in (starts, ends, axes)]
    return [b.op("Slice", [xs[0], *names], layer.name)]


def _padding(b, layer, xs, weights):
    layer.refuse(6, 0, "per-channel pad values")
    mode = layer.get(4, 0)
    if mode not in (0, 1, 2):
        raise layer.error(f"padding type {mode} is not supported (korvane supports 0 CONSTANT, 1 REPLICATE, 2 REFLECT)")
    top, bottom, left, right, front, behind = (layer.get(k, 0) for k in (0, 1, 2, 3, 7, 8))
    pads = b.const(layer.name, [0, front, top, left, 0, behind, bottom, right], numpy.int64)
    value = b.const(layer.name, layer.get(5, 0.0, float))
    return [b.op("Pad", [xs[0], pads, value], layer.name, mode=("constant", "edge", "reflect")[mode])]


def _unary(op_type):
    def convert(b, layer, xs, weights):
        if op_type == "LeakyRelu":  # ncnn's ReLU, leaky where it has a slope
            slope = layer.get(0, 0.0, float)
            return [b.op("LeakyRelu", xs, layer.name, alpha=slope) if slope else b.op("Relu", xs, layer.name)]
        if op_type == "Clip":
            low, high = layer.get(0, -math.inf, float), layer.get(1, math.inf, float)
            return [b.op("Clip", [xs[0], b.const(layer.name, low), b.const(layer.name, high)], layer.name)]
        return [b.op(op_type, xs, layer.name)]

    return convert


def _split(b, layer, xs, weights):
    return xs * len(layer.outputs)


# Each layer type korvane converts: how, and how many inputs it takes (None: any number from 1).
_CONVERTERS = {
    "BinaryOp": (_binary_op, None),
    "Clip": (_unary("Clip"), 1),
    "Concat": (_concat, None),
    "Convolution": (_convolution, 1),
    "ConvolutionDepthWise": (_convolution, 1),
    "Crop": (_crop, None),
    "Deconvolution": (_deconvolution, 1),
    "DeconvolutionDepthWise": (_deconvolution, 1),
    "Eltwise": (_eltwise, None),
    "InnerProduct": (_inner_product, 1),
    "Interp": (_interp, 1),
    "Padding": (_padding, 1),
    "PixelShuffle": (_pixel_shuffle, 1),
    "Pooling": (_pooling, 1),
    "PReLU": (_prelu, 1),
    "ReLU": (_unary("LeakyRelu"), 1),
    "Scale": (_scale, None),
    "Sigmoid": (_unary("Sigmoid"), 1),
    "Split": (_split, 1),
    "TanH": (_unary("Tanh"), 1),
}
LAYERS = ("Input", *sorted(_CONVERTERS, key=str.lower))


# ---- geometry: how the output's size follows the input's -----------------------------------


def _size(layer, sizes, axis):
    """The output size along ``axis`` (0 height, 1 width) as (a, b): a·n + b for an input of n pixels.

    ``sizes`` are the inputs' (a, b) pairs, None for a 1-d blob. Exact where the strides
    divide the sizes, as they must for the layers' outputs to line up.
    """
    first = next((s for s in sizes if s is not None), None)
    kind, get = layer.kind, layer.get
    if kind == "Input":
        return (Fraction(1), Fraction(0))
    if first is None or kind == "InnerProduct" or (kind == "Pooling" and get(4, 0)):
        return None
    a, b = first
    if kind in ("Convolution", "ConvolutionDepthWise", "Deconvolution", "DeconvolutionDepthWise"):
        kernel, dilation, stride, pads = _window(layer)
        extent = dilation[axis] * (kernel[axis] - 1) + 1
        if kind.startswith("Deconvolution"):
            extra = (get(19, get(18, 0)), get(18, 0))[axis]
            return (a * stride[axis], (b - 1) * stride[axis] + extent + extra - pads[axis] - pads[axis + 2])
        if pads[0] in _SAME:
            return (a / stride[axis], b / stride[axis])
        return (a / stride[axis], (b + pads[axis] + pads[axis + 2] - extent) / stride[axis] + 1)
    if kind == "Pooling":
        kernel, stride, left = get((11, 1)[axis], get(1, 0)), get((12, 2)[axis], get(2, 1)), get(3, 0)
        before = get(13, left) if axis == 0 else left
        after = get(15, before) if axis == 0 else get(14, left)
        if get(5, 0) >= 2:
            return (a / stride, b / stride)
        return (a / stride, (b + before + after - kernel) / stride + 1)
    if kind == "Interp":
        fixed = get((3, 4)[axis], 0)
        scale = Fraction(get((1, 2)[axis], 1.0, float)).limit_denominator(1000)
        return (Fraction(0), Fraction(fixed)) if fixed else (a * scale, b * scale)
    if kind == "PixelShuffle":
        return (a * get(0, 1), b * get(0, 1))
    if kind == "Padding":
        return (a, b + get((0, 2)[axis], 0) + get((1, 3)[axis], 0))
    if kind == "Crop":
        return _crop_size(layer, sizes, axis, a, b)
    return first


def _crop_size(layer, sizes, axis, a, b):
    get = layer.get
    if len(sizes) == 2:
        return sizes[1]
    if 9 in layer.params or 10 in layer.params:
        axes = [_onnx_axis(x) for x in (layer.array(11, int) or range(len(layer.array(9, int))))]
        if axis + 2 not in axes and axis - 2 not in axes:
            return (a, b)
        i = axes.index(axis + 2) if axis + 2 in axes else axes.index(axis - 2)
        start, end = layer.array(9, int)[i], layer.array(10, int)[i]
        if end == -233 or end >= _TO_END:
            return (a, b - start)
        return (a, b + end - start) if end < 0 else (Fraction(0), Fraction(end - start))
    start, size, back = (get(k, 0) for k in ((1, 4, 7), (0, 3, 6))[axis])
    return (Fraction(0), Fraction(size)) if size > 0 else (a, b - start - back)


def _geometry(layers, output):
    """The model's scale and context from its layers' arithmetic; (None, 0) where the output does not follow n."""
    per_axis = []
    for axis in (0, 1):
        sizes = {}
        for layer in layers:
            try:
                result = _size(layer, [sizes[x] for x in layer.inputs], axis)
            except (ArithmeticError, IndexError):  # a stride of 0, a short array: converting the layer refuses it
                result = None
            sizes.update(dict.fromkeys(layer.outputs, result))
        per_axis.append(sizes[output])
    if None in per_axis or per_axis[0][0] != per_axis[1][0]:
        return None, 0
    scale = per_axis[0][0]
    if scale.denominator != 1 or scale < 1:
        return None, 0
    margin = max(-per_axis[0][1], -per_axis[1][1], 0)
    return int(scale), math.ceil(margin / (2 * scale))


# ---- the whole conversion ------------------------------------------------------------------


def _output_blob(layers, path):
    read = {blob for layer in layers for blob in layer.inputs}
    left = [blob for layer in layers for blob in layer.outputs if blob not in read]
    if len(left) != 1:
        raise NcnnError(
            f"{path}: expected one output blob (one that no layer reads), got {len(left)}: {', '.join(left[:5])}"
            + (", ..." if len(left) > 5 else "")
        )
    return left[0]


def _input_layer(layers, path):
    inputs = [layer for layer in layers if layer.kind == "Input"]
    if len(inputs) != 1 or len(inputs[0].outputs) != 1:
        raise NcnnError(f"{path}: expected one Input layer with one blob, got {len(inputs)} Input layer(s)")
    return inputs[0]


def _input_channels(layers, source, path):
    """The Input layer's c, or, where it leaves it out, the input channels of the first layer with weights."""
    channels = source.get(2, 0)
    reach = set(source.outputs)
    for layer in layers:
        if channels or not reach.intersection(layer.inputs):
            continue
        if layer.kind == "Split":
            reach.update(layer.outputs)
        elif layer.kind.startswith(("Convolution", "Deconvolution")):
            kernel = _window(layer)[0]
            group = layer.get(7, 1) if layer.kind.endswith("DepthWise") else 1
            channels = layer.get(6, 0) * group // max(1, layer.get(0, 0) * kernel[0] * kernel[1])
        else:
            break
    if channels not in (1, 3):
        got = f"{channels}" if channels else "a number korvane cannot tell"
        raise NcnnError(f"{path}: expected an image model of 1 or 3 input channels, got {got}")
    return channels


class NcnnGraph:
    """An ncnn model converted to an ONNX graph, with what the tile engine needs to know of it.

    Attributes
    ----------
    onnx : onnx.ModelProto
        The graph: one float32 NCHW input ``input`` of shape (n, channels, h, w), one output
        ``output``, ONNX opset 17.
    onnx_bytes : bytes
        ``onnx`` serialised, as ``onnxruntime.InferenceSession`` takes it.
    scale : int or None
        How many output pixels the model makes of one input pixel along each side; None where
        the output size does not grow with the input by a whole factor.
    context : int
        The model's margin, in input pixels. A model of valid (unpadded) convolutions returns
        ``scale·(n − 2·context)`` pixels for ``n``: waifu2x's upconv_7 returns 2n − 28, its
        context is 7. With the tile engine's ``context=`` set to it, each tile of ``t`` pixels is
        fed with ``context`` extra pixels of picture on every side, and such a model returns just
        ``scale·t`` pixels for the tile. A padded model has context 0: fed a tile with a margin
        ``m`` of its own (``context=m``), it returns ``scale·(t + 2·m)`` pixels, of which the
        engine drops the ``scale·m`` border.
        Found from the graph's arithmetic: each layer's output size as a·n + b of the input
        size n (convolutions take (kernel − 1)·dilation − pads, scaled through the strides,
        deconvolutions, resizes and pixel shuffles that follow); the output's −b, split over
        both sides and divided by the scale, rounded up.
    channels : int
        The input's channel count, 1 or 3.
    name : str
        The ``.param`` file's stem.
    param_path, bin_path : str
        The files it was read from.
    """

    def __init__(self, model, scale, context, channels, name, param_path, bin_path):
        self.onnx, self.scale, self.context, self.channels = model, scale, context, channels
        self.name, self.param_path, self.bin_path = name, param_path, bin_path

    @cached_property
    def onnx_bytes(self):
        return self.onnx.SerializeToString()

    def __repr__(self):
        return (
            f"NcnnGraph({self.name!r}: scale {self.scale}, context {self.context}, {self.channels} channels, "
            f"{len(self.onnx.graph.node)} ONNX nodes)"
        )


def _import_onnx():
    try:
        import onnx
        from onnx import helper, numpy_helper
    except ImportError as exc:
        raise ImportError(f"converting ncnn models needs the onnx package: {INSTALL_HINT}") from exc
    return onnx, helper, numpy_helper


def _check_arity(layer):
    if layer.kind not in _CONVERTERS:
        raise NcnnError(
            f"{layer.path}: layer {layer.name!r} of type {layer.kind} is not supported "
            f"(korvane supports: {', '.join(LAYERS)})"
        )
    arity = _CONVERTERS[layer.kind][1]
    if (arity is not None and len(layer.inputs) != arity) or not layer.inputs:
        raise layer.error(f"expected {arity or 'at least 1'} input(s), got {len(layer.inputs)}")
    if layer.kind != "Split" and len(layer.outputs) != 1:
        raise layer.error(f"expected 1 output, got {len(layer.outputs)}")


def read_geometry(param_path):
    """The (scale, context) of the model in ``param_path``, from its ``.param`` file alone (see :class:`NcnnGraph`)."""
    layers = _read_param(param_path)
    return _geometry(layers, _output_blob(layers, str(param_path)))


def convert(param_path, bin_path=None):
    """Read an ncnn model and build its ONNX graph in memory.

    Parameters
    ----------
    param_path : str or os.PathLike
        The text ``.param`` file.
    bin_path : str or os.PathLike, optional
        The ``.bin`` file of its weights; by default the one beside ``param_path`` with the
        same stem.

    Returns
    -------
    NcnnGraph

    Raises
    ------
    ImportError
        The ``onnx`` package is not installed.
    OSError
        A file cannot be read (FileNotFoundError and the like, as they are).
    NcnnError
        A malformed file (the message names the file and line), a layer type or option
        korvane does not convert, or a ``.bin`` that does not hold the weights the layers ask.
    """
    onnx, helper, numpy_helper = _import_onnx()
    param_path = os.fspath(param_path)
    bin_path = os.fspath(bin_path) if bin_path is not None else os.path.splitext(param_path)[0] + ".bin"
    layers = _read_param(param_path)
    source = _input_layer(layers, param_path)
    for layer in layers:
        if layer is not source:
            _check_arity(layer)
    output = _output_blob(layers, param_path)
    channels = _input_channels(layers, source, param_path)
    weights = _Weights(bin_path)
    b = _Builder(helper, numpy_helper)
    values = {source.outputs[0]: "input"}
    for layer in layers:
        if layer is not source:
            results = _CONVERTERS[layer.kind][0](b, layer, [values[x] for x in layer.inputs], weights)
            values.update(zip(layer.outputs, results))
    weights.finish()
    b.nodes.append(helper.make_node("Identity", [values[output]], ["output"], name="output"))
    float32 = onnx.TensorProto.FLOAT
    graph = helper.make_graph(
        b.nodes,
        os.path.basename(os.path.splitext(param_path)[0]),
        [helper.make_tensor_value_info("input", float32, ["n", channels, "h", "w"])],
        [helper.make_tensor_value_info("output", float32, ["n", None, None, None])],
        b.initializers,
    )
    model = helper.make_model(
        graph, opset_imports=[helper.make_opsetid("", OPSET)], ir_version=8, producer_name="korvane.upscale.ncnn"
    )
    _state_output_channels(onnx, model)
    scale, context = _geometry(layers, output)
    name = os.path.splitext(os.path.basename(param_path))[0]
    return NcnnGraph(model, scale, context, channels, name, param_path, bin_path)


def _state_output_channels(onnx, model):
    """Write the output's channel count into the graph where ONNX's shape inference finds it."""
    try:
        inferred = onnx.shape_inference.infer_shapes(model)
    except Exception:  # a graph ONNX Runtime may still run; its output just stays unstated
        return
    found = {v.name: v for v in inferred.graph.output}.get("output")
    if found is None:
        return
    dims = found.type.tensor_type.shape.dim
    if len(dims) == 4 and dims[1].HasField("dim_value"):
        model.graph.output[0].type.tensor_type.shape.dim[1].dim_value = dims[1].dim_value

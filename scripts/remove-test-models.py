#!/usr/bin/env python3
# Small ONNX inpainting models for the remove-fill tests and benchmark, in the
# folder given as the only argument (needs Debian's python3-onnx):
#   unit.onnx, half.onnx             output = a constant colour in 0…1 (float32, float16)
#   bytes.onnx, half-bytes.onnx      the same in 0…255
#   renamed.onnx                     the same with its output named "result" instead of "output"
# Inputs "image" 1×3×512×512 and "mask" 1×1×512×512 are both read, so the
# runtime keeps them; a constant answer far from the picture's colours shows
# the colour matching at work.
import sys, numpy as np, onnx
from onnx import helper, TensorProto, numpy_helper
def build(path, scale, half, name):
    image = helper.make_tensor_value_info("image", TensorProto.FLOAT, [1, 3, 512, 512])
    mask = helper.make_tensor_value_info("mask", TensorProto.FLOAT, [1, 1, 512, 512])
    constants = [numpy_helper.from_array(np.array([0.2, 0.8, 0.3], np.float32).reshape(1, 3, 1, 1) * scale, "colour"),
                 numpy_helper.from_array(np.zeros((1, 1, 1, 1), np.float32), "zero")]
    last = "sum" if half else name
    nodes = [helper.make_node("Concat", ["mask", "mask", "mask"], ["mask3"], axis=1),
             helper.make_node("Add", ["image", "mask3"], ["both"]),
             helper.make_node("Mul", ["both", "zero"], ["nothing"]),
             helper.make_node("Add", ["nothing", "colour"], [last])]
    if half:
        nodes.append(helper.make_node("Cast", ["sum"], [name], to=TensorProto.FLOAT16))
    output = helper.make_tensor_value_info(name, TensorProto.FLOAT16 if half else TensorProto.FLOAT, [1, 3, 512, 512])
    model = helper.make_model(helper.make_graph(nodes, "fill", [image, mask], [output], constants),
                              opset_imports=[helper.make_opsetid("", 13)])
    model.ir_version = 8
    onnx.checker.check_model(model)
    onnx.save(model, path)
folder = sys.argv[1]
build(folder + "/unit.onnx", 1.0, False, "output")
build(folder + "/bytes.onnx", 255.0, False, "output")
build(folder + "/half.onnx", 1.0, True, "output")
build(folder + "/half-bytes.onnx", 255.0, True, "output")
build(folder + "/renamed.onnx", 1.0, False, "result")

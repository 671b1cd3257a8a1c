"""The product's steps, each in its own module, in the order a photograph meets them.

    imageio      read any photograph, encode pictures, write them atomically
    request      what to make of a photograph: one request type, one parser of its fields
    models       the product's own ONNX Runtime sessions (the person segmenter)
    saliency     the second network (u2netp), in a session of its own
    fusion       the two networks' planes made one, with a confidence
    refine       coarse plane -> trimap -> closed-form alpha -> guided upsampling -> foreground
    compose      the person over a background; the engine's own blend over white
    letterbox    fitting a picture into an exact size
    background   white, a colour or transparency

`portrait_studio.pipeline` strings them into the one path.
"""

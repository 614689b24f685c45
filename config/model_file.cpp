// PLACEHOLDER: replaced by the settings work (model-file probe and reader).

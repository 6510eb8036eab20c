// The module's own translation unit: the exported functions live in the
// interface layer's library, which the module links whole.

// Compiles the precompiled header that the integration tests reuse.

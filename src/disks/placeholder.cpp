// Removed once the first real source lands here.

// Keeps the library buildable until its first sources land.

// STUB: replaced by the bundled JSON writer.

// The add-in's exports.

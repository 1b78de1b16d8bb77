// Placeholder until the profiles reader lands.

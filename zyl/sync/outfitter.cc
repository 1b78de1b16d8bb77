// Placeholder until extension sync lands.

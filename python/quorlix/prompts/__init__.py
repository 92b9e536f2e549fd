"""Texts added to the final-answer prompt: the user's context and instructions, answer rules."""

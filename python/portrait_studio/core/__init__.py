"""The product layer's own building blocks: its second network and the fusion
of the two networks' planes."""

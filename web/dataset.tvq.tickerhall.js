// The dataset sub-protocol client: tvqws_dataset(options or host[, name[,
// transport]]). It needs the generic script (tvqWebSockets.js) loaded
// before it.

var tvqDatasetChannels = ['tvq@dataset@new', 'tvq@dataset@update', 'tvq@dataset@delete'];

function tvqws_dataset() {
  tvqProtocolInit(this, 'dataset.tvq.tickerhall', arguments,
    tvqProtocolEvents.concat(['tvqdataset', 'tvqmetadata', 'tvqbeforesynchronize', 'tvqaftersynchronize']));
}

// JSON given as an object is written as its text.
function tvqJSONText(json) {
  return typeof json === 'string' ? json : JSON.stringify(json);
}

tvqProtocolDerive(tvqws_dataset, {
  // "params" travels as raw JSON.
  rpc: function (id, method, params) {
    this.sendtext('{"jsonrpc":"2.0", "method":' + tvqQuote(method) + ', "params":' + tvqJSONText(params) +
      ', "id":' + tvqQuote(id) + '}');
  },
  notify: function (method, params) {
    this.sendtext('{"jsonrpc":"2.0", "method":' + tvqQuote(method) + ', "params":' + tvqJSONText(params) + '}');
  },
  // A record message of the client: kind "new", "update" or "delete".
  dataset: function (kind, json) {
    this.sendtext('{"jsonrpc":"2.0", "result":{"method":"tvq@dataset","channel":"tvq@dataset@' + kind +
      '","dataset":' + tvqJSONText(json) + '}}');
  },
  dataset_new: function (json) { this.dataset('new', json); },
  dataset_update: function (json) { this.dataset('update', json); },
  dataset_delete: function (json) { this.dataset('delete', json); },
  synchronize: function () { this.request('tvq@dataset@req@records'); },
  getmetadata: function () { this.request('tvq@dataset@req@metadata'); },
  subscribe_all: function () {
    for (var i = 0; i < tvqDatasetChannels.length; i++) this.subscribe(tvqDatasetChannels[i]);
  },
  unsubscribe_all: function () {
    for (var i = 0; i < tvqDatasetChannels.length; i++) this.unsubscribe(tvqDatasetChannels[i]);
  }
}, {
  'tvq@dataset': function (m, r) { return ['tvqdataset', r.channel, r.dataset]; },
  'tvq@metadata': function (m, r) { return ['tvqmetadata', r.metadata]; },
  'tvq@dataset@req@records@start': function (m, r) {
    return ['tvqbeforesynchronize', r.dataset_name, r.dataset_recordcount];
  },
  'tvq@dataset@req@records@end': function (m, r) { return ['tvqaftersynchronize', r.dataset_name]; }
});

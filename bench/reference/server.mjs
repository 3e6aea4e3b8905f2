// The reference server of the benchmark: the part of the dataset
// sub-protocol the benchmark uses, on the npm package ws, writing the same
// texts as Tickerhall: the connect sequence (session, field descriptions,
// start marker, 20 records, end marker), subscribe with acknowledgment and
// reply, and client edits broadcast as record messages to every subscriber
// of the update channel.
//   node server.mjs PORT      prints "port N" once listening
import { randomBytes } from 'node:crypto';
import { WebSocketServer } from 'ws';

const PROTOCOL = 'dataset.tvq.tickerhall';
const FIELDS = [['ID', 'ftInteger', 4], ['NAME', 'ftString', 31], ['EXCHANGE', 'ftString', 31], ['OPEN', 'ftFloat', 8],
  ['HIGH', 'ftFloat', 8], ['LOW', 'ftFloat', 8], ['LAST', 'ftFloat', 8]];
const PRICES = ['OPEN', 'HIGH', 'LOW', 'LAST'];

// The quote table: 20 rows in ID order.
const rows = [];
for (let id = 1; id <= 20; id++)
  rows.push({ ID: id, NAME: `Symbol ${id}`, EXCHANGE: 'Nasdaq', OPEN: 8300, HIGH: 8350, LOW: 8250, LAST: 8300 });

const price = (value) => value.toFixed(2).replace('.', ',');
const quote = (text) => JSON.stringify(String(text));

function recordText(row, channel) {
  const values = FIELDS.map(([name]) => {
    const value = row[name];
    if (name === 'ID') return `"ID":${value}`;
    return `"${name}":${PRICES.includes(name) ? `"${price(value)}"` : quote(value ?? '')}`;
  });
  return `{"jsonrpc":"2.0","result":{"method":"tvq@dataset","channel":"${channel}"` +
    (channel === 'tvq@dataset@update' ? ',"updatemode":"upWhereAll"' : '') +
    `,"dataset_name":"cdsQuotes","dataset_recno":${rows.indexOf(row) + 1},"dataset_encode_base64":false,` +
    `"dataset":{${values.join(',')}}}}`;
}

const metadataText = '{"jsonrpc":"2.0","result":{"method":"tvq@metadata","channel":"","dataset_name":"cdsQuotes","metadata":{' +
  FIELDS.map(([name, type, size], i) =>
    `"field${i}":{"fieldname":"${name}","datatype":"${type}","datasize":${size},"keyfield":${name === 'ID'}}`).join(',') +
  '}}}';

const subscribers = new Map();  // channel -> set of sockets

function subscribersOf(channel) {
  if (!subscribers.has(channel)) subscribers.set(channel, new Set());
  return subscribers.get(channel);
}

// Received prices: a comma or a point as decimal separator.
function applyEdit(values) {
  let row = rows.find((r) => String(r.ID) === String(values.ID));
  if (!row) {
    row = { ID: Number(values.ID) };
    rows.push(row);
    rows.sort((a, b) => a.ID - b.ID);
  }
  for (const [name] of FIELDS) {
    if (!(name in values) || name === 'ID') continue;
    row[name] = PRICES.includes(name) ? Number(String(values[name]).replace(',', '.')) : values[name];
  }
  return row;
}

const server = new WebSocketServer({
  port: Number(process.argv[2] || 0),
  host: '127.0.0.1',
  perMessageDeflate: false,
  handleProtocols: (protocols) => (protocols.has(PROTOCOL) ? PROTOCOL : false),
});

server.on('connection', (socket) => {
  const guid = randomBytes(16).toString('hex').toUpperCase();
  socket.send(`{"jsonrpc":"2.0","result":{"method":"tvq@session","message":"${guid}"},"qos":"qosLevel0","id":"${guid}"}`);
  socket.send(metadataText);
  socket.send(`{"jsonrpc":"2.0","result":{"method":"tvq@dataset@req@records@start","dataset_name":"cdsQuotes","dataset_recordcount":${rows.length}}}`);
  for (const row of rows) socket.send(recordText(row, 'tvq@dataset@update'));
  socket.send('{"jsonrpc":"2.0","result":{"method":"tvq@dataset@req@records@end","dataset_name":"cdsQuotes"}}');

  socket.on('message', (data) => {
    let message;
    try {
      message = JSON.parse(data.toString());
    } catch {
      return;
    }
    if (message.id !== undefined && message.method !== 'tvq@acknowledgment')
      socket.send(`{"jsonrpc":"2.0","result":{"method":"tvq@acknowledgment"},"id":${quote(message.id)}}`);
    if (message.method === 'tvq@subscribe') {
      for (const channel of String(message.params?.channel ?? '').split(',')) {
        subscribersOf(channel).add(socket);
        socket.send(`{"jsonrpc":"2.0","result":{"method":"tvq@subscribe","channel":${quote(channel)}}` +
          (message.id !== undefined ? `,"id":${quote(message.id)}` : '') + '}');
      }
    } else if (message.result?.method === 'tvq@dataset' && message.result.channel === 'tvq@dataset@update' &&
               message.result.dataset?.ID !== undefined) {
      const text = recordText(applyEdit(message.result.dataset), 'tvq@dataset@update');  // written once
      for (const target of subscribersOf('tvq@dataset@update')) target.send(text);
    }
  });
  socket.on('close', () => {
    for (const set of subscribers.values()) set.delete(socket);
  });
});

server.on('listening', () => console.log(`port ${server.address().port}`));
